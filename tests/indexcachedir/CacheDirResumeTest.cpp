// Suspend, resume and the move aside to "ready_to_resume", with other processes holding the
// directory where it matters.
#include <algorithm>
#include <atomic>
#include <set>

#include "tests/indexcachedir/CacheDirFixture.h"
#include "tests/support/SleepRecorder.h"

namespace {
using Names = std::vector<std::string>;
const Names kRestartFiles{"TL_RST.cfg", "a.start.1", "current_chunk", "log.trn"};
}  // namespace

class Resume : public CacheDirFixture {
protected:
    // A directory of job 42 (or of the job the line names) with the files a restart begins from.
    void leaveJob(unsigned long stamp, int state, const std::string& jobIdLine = "42:0:0:3 host\r\n") {
        leave(stamp, state);
        for (const std::string& name : kRestartFiles) writeFileText(dirPath(stamp) + "/" + name, "restart");
        writeFileText(dirPath(stamp) + "/JobId", jobIdLine);
    }
    std::string root() const { return settings.dir().file("idx/KR_Index"); }
    // "aside" when the directory went to ready_to_resume with the restart files alone, else its
    // state digit and whether its index is still there.
    std::string outcomeOf(unsigned long stamp) const {
        const std::string aside = appDir() + "/ready_to_resume";
        if (!fileExists(aside)) return stateOf(stamp) + (fileExists(dirPath(stamp) + "/index.dat") ? "" : " emptied");
        Names names;
        for (const auto& entry : std::filesystem::directory_iterator(aside)) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names == kRestartFiles && !fileExists(dirPath(stamp)) ? "aside" : "aside, but not only the restart files";
    }
};

TEST_F(Resume, FollowsTheStateOfTheNewestDirectory) {
    enum Extra { None, CanStillResume, Writer, CompletedMeanwhile, CheckpointCopy, OtherJob, JobIdUnreadable,
                 NewerMeanwhile };
    using D = JobResultsCacheDir;
    struct Row {
        const char* what;
        int state;
        Extra extra;
        int error;
        const char* outcome;
    } rows[] = {
        {"suspended", D::Suspended, None, 0, "3"},
        {"complete, may still resume", D::Complete, CanStillResume, 0, "3"},
        {"complete", D::Complete, None, D::kErrWrongState, "0"},
        {"reading", D::Reading, None, D::kErrWrongState, "2"},
        {"written by another process", D::Writing, Writer, D::kErrBusy, "3"},
        {"completed by its holder while resume waited", D::Suspended, CompletedMeanwhile, D::kErrWrongState, "0"},
        {"writer gone, checkpoint copy kept", D::Writing, CheckpointCopy, 0, "3"},
        {"writer gone", D::Writing, None, 0, "aside"},
        {"another job's directory", D::Suspended, OtherJob, 0, "aside"},
        // A job id file that cannot be read now says nothing about the index: it stays as it is.
        {"job id file unreadable", D::Suspended, JobIdUnreadable, EISDIR, "1"},
        {"a newer directory made while resume waited", D::Suspended, NewerMeanwhile, D::kErrWrongState, "1"},
    };
    const std::string list = root() + "/collects/42.txt";
    for (const Row& row : rows) {
        std::filesystem::remove_all(appDir());
        std::filesystem::remove_all(root() + "/checkpoints");
        leave(100, D::Complete);
        leaveJob(200, row.state, row.extra == OtherJob ? "99:0:0:3 host\r\n" : "42:0:0:3 host\r\n");
        if (row.extra == CanStillResume) writeFileText(dirPath(200) + "/canStillResume", "");
        if (row.extra == CheckpointCopy) std::filesystem::create_directories(root() + "/checkpoints/7");
        if (row.extra == JobIdUnreadable) {
            std::filesystem::remove(dirPath(200) + "/JobId");
            std::filesystem::create_directories(dirPath(200) + "/JobId");
        }
        std::filesystem::create_directories(root() + "/collects");
        writeFileText(list, "collected");
        const bool waits = row.extra == CompletedMeanwhile || row.extra == NewerMeanwhile;
        auto writer = row.extra == Writer || waits ? heldBy("write", 200) : nullptr;
        SleepRecorder watch([&](size_t n) {
            if (n != 1 || !waits) return;
            if (row.extra == NewerMeanwhile)
                leave(300, D::Complete);
            else
                writeFileText(dirPath(200) + "/State", "0\r\n200    \r\n");
            writer.reset();
        }, 1);
        TestDir job;
        job.setJobIndexWriteCounter(3);
        const bool resumed = job.resume(42, false) != nullptr;
        EXPECT_EQ(resumed, row.outcome == std::string("3") && row.extra != Writer && row.extra != CheckpointCopy)
            << row.what;
        EXPECT_EQ(job.getErrno(), row.error) << row.what;
        EXPECT_EQ(job.isResumeRejected(), row.extra == OtherJob) << row.what;
        EXPECT_EQ(fileExists(list), row.extra == Writer) << row.what << ": the collect list goes unless the job runs";
        EXPECT_EQ(outcomeOf(200), row.outcome) << row.what;
        writer.reset();
        if (row.outcome != std::string("aside")) {
            EXPECT_EQ(lockStateOf(200), resumed ? 0 : 1) << row.what;
        }
        if (!resumed) continue;
        EXPECT_EQ(readFileText(dirPath(200) + "/JobId").substr(0, 9), "42:0:0:4 ") << row.what << ": the next write";
        // A second process that resumes the same job meanwhile is refused and leaves its list.
        writeFileText(list, "collected");
        HelperProcess second({"cachedir_resume", "2", "7", "42"});
        EXPECT_EQ(second.readLine(), "null " + std::to_string(D::kErrBusy)) << row.what;
        EXPECT_TRUE(fileExists(list)) << row.what;
        // A completed index that was resumed is closed again by suspend.
        EXPECT_EQ(job.suspend(), 0) << row.what;
        EXPECT_EQ(stateOf(200), row.extra == CanStillResume ? "0" : "1") << row.what;
    }
}

// A job that closes its index as one that may still be resumed makes the marker before it lets
// go of the lock: a resume never finds the index complete without it. The marker's creation is
// slowed down by a tracer so that a resume would meet that moment.
TEST_F(Resume, AnIndexClosedResumableIsNeverSeenWithoutItsMarker) {
    if (!straceAvailable()) GTEST_SKIP() << "strace is not available";
    const std::string command = kUnderStrace + " -P " + dirPath(1000) +
                                "/canStillResume -e trace=openat -e inject=openat:delay_enter=500000 " VORNICA_TEST_HELPER
                                " cachedir_create 2 7 1000 resumable";
    std::atomic<bool> done{false};
    std::thread closer([&] {
        EXPECT_EQ(system(command.c_str()), 0);
        done = true;
    });
    std::set<int> errors;
    bool resumed = false;
    TestDir job;
    while (!resumed) {
        const bool finished = done;  // then this is the last attempt
        resumed = job.resume(0, false) != nullptr;
        if (!resumed) errors.insert(job.getErrno());
        if (finished) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    closer.join();
    EXPECT_TRUE(resumed);
    EXPECT_EQ(errors.count(JobResultsCacheDir::kErrWrongState), 0u) << "complete without its marker";
    if (resumed) {
        EXPECT_EQ(job.suspend(), 0);
    }
}

TEST_F(Resume, SuspendOnlyWhatThisObjectWrites) {
    TestDir job;
    ASSERT_NE(job.create(1000), nullptr);
    EXPECT_EQ(job.suspend(), 0);
    EXPECT_EQ(stateOf(1000) + std::to_string(lockStateOf(1000)), "11");
    // A collect list that is a directory is left, and the resume goes on.
    std::filesystem::create_directories(root() + "/collects/42.txt");
    ASSERT_NE(job.resume(0, false), nullptr);
    EXPECT_TRUE(fileExists(root() + "/collects/42.txt"));
    EXPECT_EQ(job.close(false), 0);
}

TEST_F(Resume, DiscardForResumeTakesNoHeldDirectoryAndReplacesNothing) {
    enum Case { Free, NoState, HeldByWriter, AsideExists, AsideEmpty, NotForced };
    struct Row {
        const char* what;
        Case which;
        int error;  // 0: discarded
    } rows[] = {
        {"free", Free, 0},
        {"without a State file", NoState, 0},
        {"held by a live writer", HeldByWriter, JobResultsCacheDir::kErrBusy},
        {"a non-empty ready_to_resume exists", AsideExists, EEXIST},
        {"an empty ready_to_resume exists", AsideEmpty, 0},
        {"not forced, not opened", NotForced, JobResultsCacheDir::kErrNotOpened},
    };
    for (const Row& row : rows) {
        std::filesystem::remove_all(appDir());
        leaveJob(300, JobResultsCacheDir::Writing);
        if (row.which == NoState) std::filesystem::remove(dirPath(300) + "/State");
        if (row.which == AsideExists || row.which == AsideEmpty)
            std::filesystem::create_directories(appDir() + "/ready_to_resume");
        if (row.which == AsideExists) writeFileText(appDir() + "/ready_to_resume/TL_RST.cfg", "earlier");
        auto writer = row.which == HeldByWriter ? heldBy("write", 300) : nullptr;
        TestDir job(300);
        EXPECT_EQ(job.discardForResume(row.which != NotForced), row.error == 0 ? 0 : -1) << row.what;
        EXPECT_EQ(job.getErrno(), row.error) << row.what;
        if (row.which == AsideExists) {
            EXPECT_EQ(readFileText(appDir() + "/ready_to_resume/TL_RST.cfg"), "earlier") << "the earlier one stays";
            std::filesystem::remove_all(appDir() + "/ready_to_resume");
        }
        EXPECT_EQ(outcomeOf(300), row.error == 0 ? "aside" : "3") << row.what << ": else kept whole, State included";
    }
}
