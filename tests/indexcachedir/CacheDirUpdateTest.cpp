// Update from the previous index: copy or rename, what the new job gets, what stays behind, and
// the refusals, with other processes reading the previous index meanwhile.
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "Indexing/idxport/CXDirectory.h"
#include "Indexing/idxport/FsPrimitives.h"
#include "tests/indexcachedir/CacheDirFixture.h"
#include "tests/support/EventCapture.h"
#include "tests/support/HelperProcess.h"

namespace {
// A job of that app whose previous index has the size the test chooses (-1: its real size).
class UpdatingDir : public JobResultsCacheDir {
public:
    explicit UpdatingDir(int64_t bytes = -1, int backupType = 1)
        : JobResultsCacheDir(1, 2, 7, 42, static_cast<BackupType>(backupType), 0, TCacheIndex), bytes_(bytes) {
        initialize("client1");
    }

    std::function<void()> whileSizing;

protected:
    int64_t sizeOfIndex(CXDirectory& opened) override {
        if (whileSizing) whileSizing();
        return bytes_ < 0 ? JobResultsCacheDir::sizeOfIndex(opened) : bytes_;
    }

private:
    int64_t bytes_;
};

std::string joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& line : lines) all += line + "\n";
    return all;
}

// Another job makes the target name just before the rename.
std::string racedTarget;
int takeTheNameFirst(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
    racedTarget = to;
    mkdir(to, 0755);
    return renameat2(fromDir, from, toDir, to, flags);
}
}  // namespace

class UpdateFrom100 : public CacheDirFixture {
protected:
    void enableReservation() {
        settings.write(readFileText(settings.configPath()) +
                       "[MediaAgent]\nsDISABLERESERVE=no\n[~Machines\\client1]\nClientId=5\n");
    }
    // The blocks of this process's line in the reserve file.
    long reservedBlocks(const JobResultsCacheDir& dir) {
        std::istringstream line(readFileText(dir.getReserveFilePath()));
        std::string head;
        long blocks = 0;
        line >> head >> blocks;
        return blocks;
    }
    // The previous job's complete index, with its resume marker, job id file and a subdirectory.
    void leavePrevious() {
        std::filesystem::remove_all(appDir());
        leave(100, JobResultsCacheDir::Complete);
        writeFileText(dirPath(100) + "/canStillResume", "");
        writeFileText(dirPath(100) + "/JobId", "41:0:0:1 host\r\n");
        std::filesystem::create_directories(dirPath(100) + "/sub");
        writeFileText(dirPath(100) + "/sub/part.dat", "part");
    }
    // Nothing changed: the previous index as left, held by nobody, and no other directory.
    void expectPreviousUntouched(const std::string& what) {
        EXPECT_EQ(stateOf(100), "0") << what;
        EXPECT_EQ(readFileText(dirPath(100) + "/sub/part.dat"), "part") << what;
        EXPECT_TRUE(fileExists(dirPath(100) + "/JobId")) << what;
        EXPECT_EQ(lockStateOf(100), 1) << what;
    }
    size_t directories() const {
        return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(appDir()), {}));
    }
};

TEST_F(UpdateFrom100, CopiesBelowTheThresholdAndRenamesFromIt) {
    struct Row {
        const char* what;
        int64_t bytes;
        int backupType;
        bool copyOn;
        bool copied;
    } rows[] = {
        {"2047 MB", 2047LL << 20, 1, true, true},
        {"2048 MB", 2048LL << 20, 1, true, false},
        {"backup type 8", 4096LL << 20, 8, true, true},
        {"copying off", 1, 1, false, false},
        {"the real size, the subdirectory counted by its files", -1, 1, true, true},
    };
    enableReservation();
    for (const Row& row : rows) {
        leavePrevious();
        EventCapture capture;
        UpdatingDir job(row.bytes, row.backupType);
        if (!row.copyOn) job.copyUponUpdate(false);
        const char* path = job.update(false, 0, false);
        ASSERT_NE(path, nullptr) << row.what;
        const std::string next = path;
        EXPECT_EQ(next, dirPath(job.getTimeStamp())) << row.what;
        EXPECT_EQ(readFileText(next + "/State").substr(0, 1), "3") << row.what;
        EXPECT_EQ(readFileText(next + "/index.dat") + readFileText(next + "/sub/part.dat"), "datapart") << row.what;
        EXPECT_FALSE(fileExists(next + "/canStillResume") || fileExists(next + "/JobId"))
            << row.what << ": the previous job's files stay behind";
        EXPECT_EQ(lockStateOf(job.getTimeStamp()), 0) << row.what << ": held exclusively";
        EXPECT_EQ(fileExists(dirPath(100)), row.copied) << row.what;
        if (row.copied) {
            expectPreviousUntouched(row.what);
            EXPECT_LE(reservedBlocks(job) * 1024, 2500000) << row.what << ": the copy's reservation is given back";
        }
        EXPECT_EQ(job.close(false), 0) << row.what;
        EXPECT_EQ(readFileText(next + "/State").substr(0, 1), "0") << row.what;
        if (row.bytes == 2048LL << 20) {
            EXPECT_NE(joined(capture.debugMessages())
                .find("folder " + dirPath(100) + " will not be copied - 2048 MB is larger than threshold 2048 MB"),
                std::string::npos);
        }
    }
}

TEST_F(UpdateFrom100, AThresholdOfZeroCopiesAnySize) {
    settings.write(readFileText(settings.configPath()) + "[MediaAgent]\nsSPACESAVER=0\n");
    leavePrevious();
    UpdatingDir job(int64_t(1) << 40);
    ASSERT_NE(job.update(false, 0, false), nullptr);
    EXPECT_TRUE(fileExists(dirPath(100)));
}

TEST_F(UpdateFrom100, RefusalsLeaveThePreviousIndexAsItWas) {
    struct Row {
        const char* what;
        int state;
        bool heldByWriter;
        unsigned long timeLimit;
        bool raceTheRename;
        int error;
        int64_t bytes = -1;  // a backup of type 8 is copied whatever its size
    } rows[] = {
        {"suspended", JobResultsCacheDir::Suspended, false, 0, false, JobResultsCacheDir::kErrWrongState},
        {"a live writer", JobResultsCacheDir::Writing, true, 0, false, JobResultsCacheDir::kErrWrongState},
        {"nothing before the limit", JobResultsCacheDir::Complete, false, 50, false, JobResultsCacheDir::kErrNoPreviousBackup},
        {"the new name taken meanwhile", JobResultsCacheDir::Complete, false, 0, true, EEXIST},
        {"no room for the copy", JobResultsCacheDir::Complete, false, 0, false, JobResultsCacheDir::kErrReservationRefused,
         int64_t(1) << 40},
    };
    enableReservation();
    for (const Row& row : rows) {
        leavePrevious();
        writeFileText(dirPath(100) + "/State", std::to_string(row.state) + "\r\n100    \r\n");
        std::unique_ptr<HelperProcess> writer;
        if (row.heldByWriter) {
            writer = std::make_unique<HelperProcess>(std::vector<std::string>{"cachedir_lock", "2", "7", "100", "write"});
            ASSERT_TRUE(writer->waitForLine("ready")) << row.what;
        }
        if (row.raceTheRename) setFsRenameAt2ForTests(takeTheNameFirst);
        ShortSleeps watch(nullptr);
        UpdatingDir job(row.bytes, row.bytes < 0 ? 1 : 8);
        job.copyUponUpdate(!row.raceTheRename);
        EXPECT_EQ(job.update(false, row.timeLimit, false), nullptr) << row.what;
        setFsRenameAt2ForTests(nullptr);
        EXPECT_EQ(job.getErrno(), row.error) << row.what;
        EXPECT_EQ(job.getCacheDir(), nullptr) << row.what;
        EXPECT_EQ(watch.count, 0) << row.what << ": refused at once";
        writer.reset();
        EXPECT_EQ(stateOf(100), std::to_string(row.state)) << row.what;
        writeFileText(dirPath(100) + "/State", "0\r\n100    \r\n");
        expectPreviousUntouched(row.what);
        EXPECT_EQ(directories(), row.raceTheRename ? 2u : 1u) << row.what;
        if (row.raceTheRename) {
            EXPECT_TRUE(std::filesystem::is_empty(racedTarget)) << "the other job's directory stays its own";
        }
    }

    std::filesystem::remove_all(appDir());
    EventCapture capture;
    UpdatingDir first;
    EXPECT_EQ(first.update(true, 0, false), nullptr);
    EXPECT_TRUE(first.noIndexFiles());
    EXPECT_EQ(joined(capture.debugMessages()).find("update(): previous backup not found"), std::string::npos)
        << "a full backup only tells that there was no index";
}

// From the state check on, a remover is kept off the previous index; another process reads it
// while it is copied; a copy that breaks off half-way leaves no new directory.
TEST_F(UpdateFrom100, DuringTheCopyThePreviousIndexIsReadableAndKept) {
    for (const bool breakIt : {false, true}) {
        leavePrevious();
        std::string readerSaw;
        int unCached = -1;
        CXDirectory::setDescendHookForTests([&](const char* path) {
            if (path != dirPath(100) + "/sub") return;
            HelperProcess reader({"cachedir_read", "2", "7", "100"});
            readerSaw = reader.readLine();
            reader.writeLine("done");
            EXPECT_EQ(reader.wait(), 0);
            if (!breakIt) return;
            for (const auto& entry : std::filesystem::directory_iterator(appDir()))
                if (entry.path() != dirPath(100)) writeFileText(entry.path().string() + "/sub", "not a directory");
        });
        UpdatingDir job(1);
        job.whileSizing = [&] {
            TestDir remover(100);
            unCached = remover.unCache(false, 0, 0, 0);
        };
        const char* path = job.update(false, 0, false);
        CXDirectory::setDescendHookForTests({});
        EXPECT_EQ(readerSaw, "2 data") << breakIt;
        EXPECT_EQ(unCached, 0) << breakIt;
        EXPECT_EQ(path == nullptr, breakIt);
        if (breakIt) {
            expectPreviousUntouched("after a failed copy");
            EXPECT_EQ(directories(), 1u);
        } else {
            EXPECT_EQ(job.close(false), 0);
        }
    }
}

// The rename turns the shared lock exclusive once the readers of the previous index are gone;
// readers that stay make the update fail without a trace.
TEST_F(UpdateFrom100, TheRenameWaitsForReadersOfThePreviousIndex) {
    for (const bool readerLeaves : {true, false}) {
        leavePrevious();
        HelperProcess reader({"cachedir_lock", "2", "7", "100", "read"});
        ASSERT_TRUE(reader.waitForLine("ready"));
        ShortSleeps watch([&] {
            if (!readerLeaves) return;
            reader.writeLine("done");
            reader.wait();
        });
        UpdatingDir job;
        job.copyUponUpdate(false);
        const char* path = job.update(false, 0, false);
        EXPECT_GT(watch.count, 0) << readerLeaves;
        if (readerLeaves) {
            ASSERT_NE(path, nullptr);
            EXPECT_FALSE(fileExists(dirPath(100)));
            EXPECT_EQ(lockStateOf(job.getTimeStamp()), 0);
            EXPECT_EQ(job.close(false), 0);
            continue;
        }
        EXPECT_EQ(path, nullptr);
        EXPECT_EQ(job.getErrno(), JobResultsCacheDir::kErrBusy);
        reader.writeLine("done");
        reader.wait();
        expectPreviousUntouched("a reader that stays");
        EXPECT_EQ(directories(), 1u);
    }
}

// A State file that is a symbolic link or a FIFO is never opened: nothing is written through
// the link, and nothing waits for a FIFO's writer.
TEST_F(UpdateFrom100, AStateThatIsALinkOrAFifoIsRefused) {
    const std::string outside = settings.dir().file("outside");
    for (const bool link : {true, false}) {
        for (const char* operation : {"open", "update", "resume", "getAtime"}) {
            leavePrevious();
            const std::string state = dirPath(100) + "/State";
            std::filesystem::remove(state);
            writeFileText(outside, "0\r\n100    \r\n");
            ASSERT_EQ(link ? symlink(outside.c_str(), state.c_str()) : mkfifo(state.c_str(), 0666), 0);
            ShortSleeps sleeps(nullptr);
            UpdatingDir job;
            TestDir reader(100);
            const std::string op = operation;
            const bool refused = op == "open"     ? job.open(0, false) == nullptr
                                 : op == "update" ? job.update(false, 0, false) == nullptr
                                 : op == "resume" ? job.resume(0, false) == nullptr
                                                  : reader.getAtime() == 0;
            EXPECT_TRUE(refused) << operation << (link ? " through a link" : " of a FIFO");
            EXPECT_EQ(readFileText(outside), "0\r\n100    \r\n") << operation;
            EXPECT_EQ(directories(), 1u) << operation;
        }
    }
}
