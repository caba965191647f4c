#include <signal.h>
#include <sys/resource.h>

#include "tests/indexcachedir/CacheDirFixture.h"
#include "tests/support/EventCapture.h"

using Lifecycle = CacheDirFixture;

// A second create of one object, or of a time stamp a complete index has, leaves the first
// index whole; the resume marker is never made through a link at its name.
TEST_F(Lifecycle, CreateCloseAndReopen) {
    TestDir writer;
    ASSERT_STREQ(writer.create(1000), dirPath(1000).c_str());
    EXPECT_EQ(stateOf(1000), "3");
    EXPECT_EQ(writer.create(2000), nullptr);
    EXPECT_EQ(writer.getErrno(), JobResultsCacheDir::kErrNotOpened);
    EXPECT_EQ(writer.close(true), 0);
    EXPECT_EQ(stateOf(1000), "0");
    EXPECT_TRUE(fileExists(dirPath(1000) + "/canStillResume"));
    EXPECT_FALSE(fileExists(dirPath(2000)));
    EXPECT_EQ(writer.close(false), -1) << "not open any more";

    TestDir reader(0, 1, 43);
    ASSERT_NE(reader.open(0, false), nullptr);
    EXPECT_EQ(reader.getTimeStamp(), 1000u);
    EXPECT_EQ(stateOf(1000), "2");
    EXPECT_EQ(reader.close(false), 0);
    EXPECT_EQ(stateOf(1000), "0");

    const std::string target = settings.dir().file("elsewhere");
    TestDir linked(0, 1, 44), same(0, 1, 45), late(0, 1, 46);
    ASSERT_NE(linked.create(4000000000u), nullptr);
    ASSERT_EQ(symlink(target.c_str(), (dirPath(4000000000u) + "/canStillResume").c_str()), 0);
    EXPECT_EQ(linked.close(true), 0);
    EXPECT_FALSE(fileExists(target));
    EXPECT_EQ(same.create(4000000000u), nullptr);
    EXPECT_EQ(same.getErrno(), EEXIST);
    EXPECT_EQ(stateOf(4000000000u), "0");
    // A clock that does not move past the newest directory is refused without a time stamp.
    EXPECT_EQ(late.create(0), nullptr);
    EXPECT_EQ(late.getErrno(), JobResultsCacheDir::kErrClockBackwards);
}

// A create whose State cannot be made or written leaves no directory that would block later
// updates, and names the cause: a write past the file size limit in this process, an open that
// fails (EMFILE injected by a tracer) in another.
TEST_F(Lifecycle, AFailedCreateLeavesNothingBehind) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY}, none{0, RLIM_INFINITY};
    for (const bool write : {true, false}) {
        std::filesystem::remove_all(appDir());
        leave(100, JobResultsCacheDir::Complete);
        if (write) {
            TestDir job;
            setrlimit(RLIMIT_FSIZE, &none);
            const char* made = job.create(1000);
            setrlimit(RLIMIT_FSIZE, &unlimited);
            EXPECT_EQ(made, nullptr);
            EXPECT_EQ(job.getErrno(), EFBIG);
        } else {
            if (!straceAvailable()) GTEST_SKIP() << "strace is not available";
            const std::string command = kUnderStrace + " -P " + dirPath(1000) +
                                        "/State -e trace=openat -e inject=openat:error=EMFILE " VORNICA_TEST_HELPER
                                        " cachedir_create 2 7 1000 </dev/null >/dev/null";
            EXPECT_NE(system(command.c_str()), 0);
        }
        EXPECT_FALSE(fileExists(dirPath(1000))) << write;
        TestDir next(0, 1, 43);
        next.copyUponUpdate(false);
        EXPECT_NE(next.update(false, 0, false), nullptr) << write << " " << next.getErrno();
    }
}

// Open passes by names that are no time stamps, a suspended job and a Writing directory that
// another process still holds, even only shared; once nobody does, the next open discards it.
TEST_F(Lifecycle, OpenDispatchesOverTheStates) {
    // Stepping back past the oldest directory ends the search.
    for (int state : {JobResultsCacheDir::Suspended, JobResultsCacheDir::Writing}) {
        leave(1, state);
        TestDir none;
        EXPECT_EQ(none.open(0, false), nullptr) << state;
        EXPECT_EQ(none.getErrno(), JobResultsCacheDir::kErrNoPreviousBackup) << state;
    }

    leave(100, JobResultsCacheDir::Complete);
    leave(200, JobResultsCacheDir::Suspended);
    leave(300, JobResultsCacheDir::Writing);
    std::filesystem::create_directories(appDir() + "/12ab");
    std::filesystem::create_directories(appDir() + "/99999999999");
    auto holder = heldBy("read", 300);
    {
        TestDir reader;
        ASSERT_NE(reader.open(0, false), nullptr);
        EXPECT_EQ(reader.getTimeStamp(), 100u);
        EXPECT_TRUE(fileExists(dirPath(300) + "/index.dat")) << "a directory another process holds stays";
        reader.close(false);
    }
    holder.reset();

    TestDir exact;
    EXPECT_EQ(exact.open(250, true), nullptr) << "exact looks at 250 only";

    // Nobody holds it now: the next open discards it on the way.
    TestDir reader;
    ASSERT_NE(reader.open(0, false), nullptr);
    EXPECT_EQ(reader.getTimeStamp(), 100u);
    EXPECT_FALSE(fileExists(dirPath(300)));
    EXPECT_TRUE(fileExists(dirPath(200)));
}

TEST_F(Lifecycle, TwoCreatorsInOneAppNeverShareADirectory) {
    HelperProcess a({"cachedir_create", "2", "7"});
    HelperProcess b({"cachedir_create", "2", "7"});
    const std::string first = a.readLine(), second = b.readLine();  // both hold theirs now
    ASSERT_FALSE(first.empty() || second.empty());
    const bool firstNull = first.rfind("null", 0) == 0, secondNull = second.rfind("null", 0) == 0;
    EXPECT_TRUE(first != second || firstNull) << first << " / " << second;
    EXPECT_TRUE(!firstNull || !secondNull) << "one of them gets a directory";
}

TEST_F(Lifecycle, DiscardFailJobAndPreserve) {
    EventCapture capture;
    settings.write(readFileText(settings.configPath()) + "[~MediaAgent]\nnPRESERVEFAILEDICD=1\n");
    TestDir job;
    ASSERT_NE(job.create(700), nullptr);
    writeFileText(dirPath(700) + "/index.dat", "data");
    job.preserveFailedCache(nullptr);
    EXPECT_EQ(readFileText(dirPath(700) + "_preservedAfterFailed/index.dat"), "data");
    EXPECT_EQ(job.discard(true), 0);
    EXPECT_FALSE(fileExists(dirPath(700)));
    EXPECT_EQ(job.getCacheDir(), nullptr);

    EXPECT_EQ(job.failJob(false), 0);
    auto requests = capture.ofKind("jobcontrol");
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().message, "complete");
    EXPECT_EQ(requests.back().args[1].signedValue, 1) << "the phase only";
}
