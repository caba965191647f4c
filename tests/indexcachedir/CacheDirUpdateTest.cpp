// Update from the previous index: copy or rename, what the new job gets and what stays behind,
// refusals, and other processes at the previous index meanwhile.
#include <stdio.h>
#include <sys/stat.h>

#include "Indexing/idxport/CXDirectory.h"
#include "Indexing/idxport/FsPrimitives.h"
#include "tests/indexcachedir/CacheDirFixture.h"
#include "tests/support/SleepRecorder.h"

namespace {
// A job of that app whose previous index counts `bytes` (-1: its real size); `whileSizing` runs
// while the update measures it.
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

// Another job makes the target name just before the rename.
int takeTheNameFirst(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
    mkdir(to, 0755);
    return renameat2(fromDir, from, toDir, to, flags);
}
}  // namespace

class UpdateFrom100 : public CacheDirFixture {
protected:
    void SetUp() override {
        CacheDirFixture::SetUp();
        settings.write(readFileText(settings.configPath()) +
                       "[MediaAgent]\nsDISABLERESERVE=no\n[~Machines\\client1]\nClientId=5\n");
    }
    // The previous job's complete index, with its resume marker, job id file and a subdirectory.
    void leavePrevious(int state = JobResultsCacheDir::Complete) {
        std::filesystem::remove_all(appDir());
        leave(100, state);
        writeFileText(dirPath(100) + "/canStillResume", "");
        writeFileText(dirPath(100) + "/JobId", "41:0:0:1 host\r\n");
        std::filesystem::create_directories(dirPath(100) + "/sub");
        writeFileText(dirPath(100) + "/sub/part.dat", "part");
    }
    // The previous index as left, held by nobody, beside `others` other directories.
    void expectPreviousUntouched(const std::string& what, int state = 0, long others = 0) {
        EXPECT_EQ(stateOf(100) + readFileText(dirPath(100) + "/sub/part.dat"), std::to_string(state) + "part") << what;
        EXPECT_TRUE(fileExists(dirPath(100) + "/JobId")) << what;
        EXPECT_EQ(lockStateOf(100), 1) << what;
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(appDir()), {}), 1 + others) << what;
    }
};

// Below 2048 MB (and for backup type 8 whatever its size) the previous index is copied, from
// there on renamed: the new directory has its files but not the previous job's. A refusal comes
// at once and leaves the previous index as it was.
TEST_F(UpdateFrom100, CopiesBelowTheThresholdRenamesFromItAndRefusesWithoutATrace) {
    using D = JobResultsCacheDir;
    struct Row {
        const char* what;
        int64_t bytes;  // -1: its real size
        int backupType;
        bool copied;
        int state = D::Complete;
        unsigned long timeLimit = 0;
        int error = 0;  // 0: updated
    } rows[] = {
        {"2047 MB", 2047LL << 20, 1, true},
        {"2048 MB", 2048LL << 20, 1, false},
        {"backup type 8", 4096LL << 20, 8, true},
        {"the real size, the subdirectory counted by its files", -1, 1, true},
        {"suspended", -1, 1, false, D::Suspended, 0, D::kErrWrongState},
        {"a live writer", -1, 1, false, D::Writing, 0, D::kErrWrongState},
        {"nothing before the limit", -1, 1, false, D::Complete, 50, D::kErrNoPreviousBackup},
        {"the new name taken meanwhile", -1, 1, false, D::Complete, 0, EEXIST},
        {"no room for the copy", 1LL << 40, 8, false, D::Complete, 0, D::kErrReservationRefused},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        leavePrevious(row.state);
        const bool race = row.error == EEXIST;
        auto writer = row.state == D::Writing ? heldBy("write", 100) : nullptr;
        if (race) setFsRenameAt2ForTests(takeTheNameFirst);
        SleepRecorder watch;
        UpdatingDir job(row.bytes, row.backupType);
        job.copyUponUpdate(!race);
        const char* path = job.update(false, row.timeLimit, false);
        setFsRenameAt2ForTests(nullptr);
        EXPECT_EQ(path == nullptr ? job.getErrno() : 0, row.error);
        EXPECT_TRUE(watch.ms.empty()) << "no wait";
        writer.reset();
        if (path == nullptr) {
            expectPreviousUntouched(row.what, row.state, race ? 1 : 0);
            continue;
        }
        const std::string next = path;
        EXPECT_EQ(readFileText(next + "/State").substr(0, 1) + readFileText(next + "/index.dat") +
                      readFileText(next + "/sub/part.dat"),
                  "3datapart");
        EXPECT_FALSE(fileExists(next + "/canStillResume") || fileExists(next + "/JobId"))
            << "the previous job's files stay behind";
        EXPECT_EQ(lockStateOf(job.getTimeStamp()), 0) << "held exclusively";
        EXPECT_EQ(fileExists(dirPath(100)), row.copied);
        if (row.copied) {
            expectPreviousUntouched(row.what, 0, 1);
            long blocks = 0;  // the reserve file's second word
            sscanf(readFileText(job.getReserveFilePath()).c_str(), "%*s %ld", &blocks);
            EXPECT_LE(blocks * 1024, 2500000) << "the copy's reservation is given back";
        }
        EXPECT_EQ(job.close(false), 0);
    }

    std::filesystem::remove_all(appDir());
    UpdatingDir first;
    EXPECT_EQ(first.update(true, 0, false), nullptr);
    EXPECT_TRUE(first.noIndexFiles());
}

// From the state check on, a remover is kept off the previous index and another process may
// read it; a copy that breaks off half-way leaves no new directory. The rename waits for the
// readers to go; readers that stay make it fail without a trace.
TEST_F(UpdateFrom100, OtherProcessesAtThePreviousIndexMeanwhile) {
    enum Case { Copy, BrokenCopy, RenameAfterReader, RenameBesideReader };
    for (const Case which : {Copy, BrokenCopy, RenameAfterReader, RenameBesideReader}) {
        leavePrevious();
        const bool copy = which == Copy || which == BrokenCopy;
        auto reader = copy ? nullptr : heldBy("read", 100);
        std::string readerSaw = "2 data";
        int unCached = 0;
        CXDirectory::setDescendHookForTests([&](const char* path) {
            if (path != dirPath(100) + "/sub") return;
            HelperProcess during({"cachedir_read", "2", "7", "100"});
            readerSaw = during.readLine();
            during.writeLine("done");
            EXPECT_EQ(during.wait(), 0);
            for (const auto& entry : std::filesystem::directory_iterator(appDir()))
                if (which == BrokenCopy && entry.path() != dirPath(100))
                    writeFileText(entry.path().string() + "/sub", "not a directory");
        });
        SleepRecorder watch([&](size_t n) {
            if (n == 1 && which == RenameAfterReader) reader.reset();
        }, 1);
        UpdatingDir job(1);
        job.copyUponUpdate(copy);
        job.whileSizing = [&] { unCached = TestDir(100).unCache(false, 0, 0, 0); };
        const bool updated = job.update(false, 0, false) != nullptr;
        CXDirectory::setDescendHookForTests({});
        EXPECT_EQ(readerSaw + std::to_string(unCached), "2 data0") << which;
        EXPECT_EQ(watch.ms.empty(), copy) << which;
        EXPECT_EQ(updated, which == Copy || which == RenameAfterReader) << which;
        reader.reset();
        if (!updated) expectPreviousUntouched(std::to_string(which));
        EXPECT_EQ(updated ? job.close(false) : job.getErrno(),
                  which == RenameBesideReader ? JobResultsCacheDir::kErrBusy : updated ? 0 : ENOTDIR)
            << which;
    }
}

// A State file that is a symbolic link or a FIFO is neither followed nor waited for.
TEST_F(UpdateFrom100, AStateThatIsALinkOrAFifoIsRefused) {
    const std::string outside = settings.dir().file("outside"), state = dirPath(100) + "/State";
    for (const bool link : {true, false}) {
        leavePrevious();
        std::filesystem::rename(state, outside);
        ASSERT_EQ(link ? symlink(outside.c_str(), state.c_str()) : mkfifo(state.c_str(), 0666), 0);
        SleepRecorder sleeps;
        UpdatingDir job;
        EXPECT_EQ(TestDir(100).getAtime(), 0) << link;
        EXPECT_EQ(job.update(false, 0, false), nullptr) << link;
        EXPECT_EQ(readFileText(outside), "0\r\n100    \r\n") << link;
    }
}
