// Suspend, resume and the move aside to "ready_to_resume", with other processes holding the
// directory where it matters.
#include <algorithm>
#include <filesystem>

#include "tests/indexcachedir/CacheDirFixture.h"
#include "tests/support/HelperProcess.h"

namespace {
using Names = std::vector<std::string>;

Names namesIn(const std::string& dir) {
    Names names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}



const Names kRestartFiles{"TL_RST.cfg", "a.start.1", "current_chunk", "log.trn"};
}  // namespace

class Resume : public CacheDirFixture {
protected:
    // A directory of job 42 in the given state, with the files a restart begins from.
    void leaveJob(unsigned long stamp, int state, const std::string& jobIdLine = "42:0:0:3 host\r\n") {
        leave(stamp, state);
        for (const std::string& name : kRestartFiles) writeFileText(dirPath(stamp) + "/" + name, "restart");
        writeFileText(dirPath(stamp) + "/JobId", jobIdLine);
    }
    std::string root() const { return settings.dir().file("idx/KR_Index"); }
    std::string aside() const { return appDir() + "/ready_to_resume"; }
};

TEST_F(Resume, FollowsTheStateOfTheNewestDirectory) {
    enum Extra { None, CanStillResume, Writer, CompletedMeanwhile, CheckpointCopy, OtherJob };
    struct Row {
        const char* what;
        int state;
        Extra extra;
        bool resumed;
        int error;
        bool movedAside;
    } rows[] = {
        {"suspended", JobResultsCacheDir::Suspended, None, true, 0, false},
        {"complete, may still resume", JobResultsCacheDir::Complete, CanStillResume, true, 0, false},
        {"complete", JobResultsCacheDir::Complete, None, false, JobResultsCacheDir::kErrWrongState, false},
        {"reading", JobResultsCacheDir::Reading, None, false, JobResultsCacheDir::kErrWrongState, false},
        {"written by another process", JobResultsCacheDir::Writing, Writer, false, JobResultsCacheDir::kErrBusy, false},
        {"completed by its holder meanwhile", JobResultsCacheDir::Suspended, CompletedMeanwhile, false,
         JobResultsCacheDir::kErrWrongState, false},
        {"writer gone, checkpoint copy kept", JobResultsCacheDir::Writing, CheckpointCopy, false, 0, false},
        {"writer gone", JobResultsCacheDir::Writing, None, false, 0, true},
        {"another job's directory", JobResultsCacheDir::Suspended, OtherJob, false, 0, true},
    };
    const std::string list = root() + "/collects/42.txt";
    for (const Row& row : rows) {
        std::filesystem::remove_all(appDir());
        std::filesystem::remove_all(root() + "/checkpoints");
        leave(100, JobResultsCacheDir::Complete);
        leaveJob(200, row.state, row.extra == OtherJob ? "99:0:0:3 host\r\n" : "42:0:0:3 host\r\n");
        if (row.extra == CanStillResume) writeFileText(dirPath(200) + "/canStillResume", "");
        if (row.extra == CheckpointCopy) std::filesystem::create_directories(root() + "/checkpoints/7");
        std::filesystem::create_directories(root() + "/collects");
        writeFileText(list, "collected");
        std::unique_ptr<HelperProcess> writer;
        if (row.extra == Writer || row.extra == CompletedMeanwhile) {
            writer = std::make_unique<HelperProcess>(Names{"cachedir_lock", "2", "7", "200", "write"});
            ASSERT_TRUE(writer->waitForLine("ready")) << row.what;
        }
        // The holder of a suspended directory completes it while resume waits for the lock.
        ShortSleeps watch([&] {
            if (row.extra != CompletedMeanwhile) return;
            writeFileText(dirPath(200) + "/State", "0\r\n200    \r\n");
            writer->writeLine("done");
            writer->wait();
        });

        TestDir job;
        job.setJobIndexWriteCounter(3);
        const char* path = job.resume(42, false);
        EXPECT_EQ(path != nullptr, row.resumed) << row.what;
        if (row.error != 0) {
            EXPECT_EQ(job.getErrno(), row.error) << row.what;
        }
        EXPECT_EQ(job.isResumeRejected(), row.extra == OtherJob) << row.what;
        EXPECT_EQ(fileExists(list), row.extra == Writer) << row.what << ": the collect list goes unless the job runs";
        EXPECT_EQ(fileExists(aside()), row.movedAside) << row.what;
        if (row.movedAside) {
            EXPECT_EQ(namesIn(aside()), kRestartFiles) << row.what;
            EXPECT_FALSE(fileExists(dirPath(200))) << row.what;
            EXPECT_TRUE(fileExists(dirPath(100) + "/index.dat")) << row.what;
            continue;
        }
        EXPECT_TRUE(fileExists(dirPath(200) + "/index.dat")) << row.what;
        if (!row.resumed) {
            EXPECT_EQ(stateOf(200), row.extra == CompletedMeanwhile ? "0" : std::to_string(row.state)) << row.what;
            writer.reset();
            EXPECT_EQ(lockStateOf(200), 1) << row.what << ": nothing held after a refusal";
            continue;
        }
        EXPECT_EQ(std::string(path), dirPath(200)) << row.what;
        EXPECT_EQ(stateOf(200), "3") << row.what;
        EXPECT_EQ(lockStateOf(200), 0) << row.what;
        EXPECT_EQ(readFileText(dirPath(200) + "/JobId").substr(0, 9), "42:0:0:4 ") << row.what << ": the next write";
        // A second process that resumes the same job meanwhile is refused and leaves its list.
        writeFileText(list, "collected");
        HelperProcess second({"cachedir_resume", "2", "7", "42"});
        EXPECT_EQ(second.readLine(), "null " + std::to_string(JobResultsCacheDir::kErrBusy)) << row.what;
        second.writeLine("done");
        second.wait();
        EXPECT_TRUE(fileExists(list)) << row.what;
        // A completed index that was resumed is closed again by suspend.
        EXPECT_EQ(job.suspend(), 0) << row.what;
        EXPECT_EQ(stateOf(200), row.extra == CanStillResume ? "0" : "1") << row.what;
        EXPECT_EQ(lockStateOf(200), 1) << row.what;
    }
}

TEST_F(Resume, SuspendOnlyFromWriting) {
    TestDir job;
    ASSERT_NE(job.create(1000), nullptr);
    EXPECT_EQ(job.suspend(), 0);
    EXPECT_EQ(stateOf(1000), "1");
    EXPECT_EQ(job.getCacheDir(), nullptr);
    EXPECT_EQ(job.suspend(), -1);
    EXPECT_EQ(job.getErrno(), JobResultsCacheDir::kErrNotOpened);
    // A collect list that is a directory is left, and the resume goes on.
    std::filesystem::create_directories(settings.dir().file("idx/KR_Index/collects/42.txt"));
    ASSERT_NE(job.resume(0, false), nullptr);
    EXPECT_TRUE(fileExists(settings.dir().file("idx/KR_Index/collects/42.txt")));
    EXPECT_EQ(job.close(false), 0);

    TestDir reader;
    ASSERT_NE(reader.open(0, false), nullptr);
    EXPECT_EQ(reader.suspend(), -1);
    EXPECT_EQ(reader.getErrno(), JobResultsCacheDir::kErrWrongState);
    EXPECT_EQ(stateOf(1000), "2");

    // An object that opened a client cache busy does not hold it: the writer's index stays.
    TestDir writer(900, kAppTypeJobResults), busy(900, kAppTypeJobResults);
    ASSERT_NE(writer.create(0), nullptr);
    ASSERT_NE(busy.open(0, false), nullptr);
    EXPECT_EQ(busy.suspend(), -1);
    EXPECT_EQ(busy.getErrno(), JobResultsCacheDir::kErrBusy);
    EXPECT_EQ(readFileText(clientDirPath(900) + "/State").substr(0, 1), "3");
}

TEST_F(Resume, DiscardForResumeTakesNoHeldDirectoryAndReplacesNothing) {
    enum Case { Free, NoState, HeldByWriter, AsideExists, NotForced };
    struct Row {
        const char* what;
        Case which;
        int result;
        int error;
    } rows[] = {
        {"free", Free, 0, 0},
        {"without a State file", NoState, 0, 0},
        {"held by a live writer", HeldByWriter, -1, JobResultsCacheDir::kErrBusy},
        {"ready_to_resume exists", AsideExists, -1, EEXIST},
        {"not forced, not opened", NotForced, -1, JobResultsCacheDir::kErrNotOpened},
    };
    for (const Row& row : rows) {
        std::filesystem::remove_all(appDir());
        leaveJob(300, JobResultsCacheDir::Writing);
        if (row.which == NoState) std::filesystem::remove(dirPath(300) + "/State");
        if (row.which == AsideExists) {
            std::filesystem::create_directories(aside());
            writeFileText(aside() + "/current_chunk", "earlier");
        }
        std::unique_ptr<HelperProcess> writer;
        if (row.which == HeldByWriter) {
            writer = std::make_unique<HelperProcess>(Names{"cachedir_lock", "2", "7", "300", "write"});
            ASSERT_TRUE(writer->waitForLine("ready")) << row.what;
        }
        TestDir job(300);
        EXPECT_EQ(job.discardForResume(row.which != NotForced), row.result) << row.what;
        if (row.result != 0) {
            EXPECT_EQ(job.getErrno(), row.error) << row.what;
            EXPECT_EQ(stateOf(300), "3") << row.what << ": kept whole, State included";
            EXPECT_TRUE(fileExists(dirPath(300) + "/index.dat")) << row.what;
            if (row.which == AsideExists) {
                EXPECT_EQ(readFileText(aside() + "/current_chunk"), "earlier");
            }
            continue;
        }
        EXPECT_FALSE(fileExists(dirPath(300))) << row.what;
        EXPECT_EQ(namesIn(aside()), kRestartFiles) << row.what;
    }
}
