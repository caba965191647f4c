// The cache directory protocol when other processes create, read and remove at the same moment.
#include "tests/indexcachedir/CacheDirFixture.h"
#include "tests/support/DeniedDirectory.h"
#include "tests/support/EventCapture.h"
#include "tests/support/SleepRecorder.h"
#include <cstdio>

using Concurrency = CacheDirFixture;

TEST_F(Concurrency, AReaderWaitingBehindARemoverFallsBackToAnOlderDirectory) {
    leave(100, JobResultsCacheDir::Complete);
    leave(200, JobResultsCacheDir::Reading);
    HelperProcess remover({"cachedir_stage", "2", "7", "200", "remove"}, "ready");
    SleepRecorder watch([&](size_t n) { if (n == 1) remover.writeLine("go"); }, 20);
    TestDir reader;
    EXPECT_STREQ(reader.open(0, false), dirPath(100).c_str());
    EXPECT_FALSE(watch.ms.empty()) << "the reader waited for the lock of the directory in Reading";
    EXPECT_EQ(remover.readLine(), "0") << "the removal was not disturbed by the waiting reader";
    EXPECT_FALSE(fileExists(dirPath(200)));
    EXPECT_EQ(reader.close(false), 0);
}

// Two updaters that both rename the same previous index while a reader holds it: neither keeps
// the other waiting. Once the reader goes one renames, and the other fails at once.
TEST_F(Concurrency, TwoUpdatersByRenameDoNotStallEachOther) {
    leave(100, JobResultsCacheDir::Complete);
    auto reader = heldBy("read", 100);
    HelperProcess first({"cachedir_update", "2", "7"}), second({"cachedir_update", "2", "7"});
    std::this_thread::sleep_for(std::chrono::seconds(2));  // both are at the previous index by now
    reader.reset();
    const auto start = std::chrono::steady_clock::now();
    const std::string said[] = {first.readLine(30000), second.readLine(30000)};
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    const int renamed = (said[0].rfind("null", 0) != 0) + (said[1].rfind("null", 0) != 0);
    EXPECT_EQ(renamed, 1) << said[0] << " / " << said[1];
    EXPECT_FALSE(fileExists(dirPath(100)));
    for (HelperProcess* updater : {&first, &second}) updater->writeLine("done");
    EXPECT_EQ(first.wait() + second.wait(), 1);
}

TEST_F(Concurrency, DirectoriesBeingMadeOrRemovedArePassedBy) {
    leave(100, JobResultsCacheDir::Complete);
    leave(300, JobResultsCacheDir::Complete);
    for (const char* stage : {"nostate", "empty", "remove"}) {
        const char* stamp = std::string(stage) == "remove" ? "300" : "200";
        HelperProcess other({"cachedir_stage", "2", "7", stamp, stage}, "ready");
        {
            TestDir reader;
            EXPECT_STREQ(reader.open(0, false), dirPath(std::string(stage) == "remove" ? 100 : 300).c_str()) << stage;
            reader.close(false);
        }
        // An exact open cannot pass it by: it retries, then gives up.
        SleepRecorder watch({}, 20);
        TestDir exact;
        EXPECT_EQ(exact.open(std::string(stage) == "remove" ? 300 : 200, true), nullptr) << stage;
        EXPECT_TRUE(std::string(stage) != "remove" || watch.ms.size() == 15) << watch.ms.size();
        other.writeLine("done");
        other.wait();
        std::filesystem::remove_all(dirPath(200));
    }
}

// A holder in this process or in another keeps a directory from discard and from every uncache
// (which says so); the last holder may remove it. Without a State file it goes without a lock,
// after the open's retries.
TEST_F(Concurrency, OnlyTheExclusiveLockLicensesARemoval) {
    EventCapture capture;
    leave(100, JobResultsCacheDir::Complete);
    TestDir first, second;
    second.forceReadLocks();
    ASSERT_NE(first.open(0, false), nullptr);
    ASSERT_NE(second.open(0, false), nullptr);
    EXPECT_EQ(second.discard(true), -1) << "another reader holds it";
    EXPECT_EQ(second.getErrno(), JobResultsCacheDir::kErrBusy);
    EXPECT_EQ(first.close(false), 0);
    EXPECT_EQ(second.discard(true), 0) << "the last holder may remove it";
    EXPECT_FALSE(fileExists(dirPath(100)));

    leave(100, JobResultsCacheDir::Complete);
    auto reader = heldBy("read", 100);
    TestDir held(100, 1, 0);
    EXPECT_EQ(held.routineUnCache(false, 0, 0, 0), 0);
    EXPECT_EQ(held.unCache(false, 2, 7, 100), 0);
    EXPECT_TRUE(fileExists(dirPath(100) + "/index.dat"));
    EXPECT_EQ(capture.debugLinesWith("RoutineRemoval: cannot discard directory " + dirPath(100)), 1u);
    EXPECT_EQ(capture.debugLinesWith("AgeBasedRemoval '" + dirPath(100) + "' NOT REMOVED"), 1u);
    reader.reset();
    EXPECT_EQ(held.unCache(true, 0, 0, 0), 0);
    EXPECT_FALSE(fileExists(dirPath(100)));
    SleepRecorder sleeps;
    std::filesystem::create_directories(dirPath(300) + "/sub");
    EXPECT_EQ(TestDir(300, 1, 0).unCache(false, 0, 0, 0), 0);
    EXPECT_FALSE(fileExists(dirPath(300)));
    EXPECT_EQ(sleeps.ms.size(), 15u);
}

TEST_F(Concurrency, AClientCacheGoesThroughWritingBusyAndSuspended) {
    TestDir writer(900, kAppTypeJobResults), other(900, kAppTypeJobResults);
    ASSERT_NE(writer.create(0), nullptr);
    EXPECT_EQ(writer.close(false), 0);
    EXPECT_STREQ(writer.getCacheDir(), clientDirPath(900).c_str()) << "a client cache keeps its path";
    ASSERT_NE(writer.open(0, false), nullptr);
    ASSERT_NE(other.open(0, false), nullptr) << "opened busy, without a lock";
    EXPECT_EQ(other.suspend(), -1) << "an object that opened it busy does not hold it";
    EXPECT_EQ(other.getErrno(), JobResultsCacheDir::kErrBusy);
    EXPECT_EQ(readFileText(clientDirPath(900) + "/State").substr(0, 1), "3");
    EXPECT_EQ(other.close(false), 0);
    EXPECT_EQ(writer.close(false), 0);

    // The object that was busy opens for writing for real the next time.
    ASSERT_NE(other.open(0, false), nullptr);
    EXPECT_EQ(readFileText(clientDirPath(900) + "/State").substr(0, 1), "3");
    EXPECT_EQ(writer.writeLock(0), 0) << "it holds the exclusive lock";
    EXPECT_EQ(other.close(false), 0);
    EXPECT_EQ(readFileText(clientDirPath(900) + "/State").substr(0, 1), "0");
    EXPECT_EQ(writer.writeLock(0), 1) << "and lets it go at close";
    writer.unLock();

    writeFileText(clientDirPath(900) + "/State", "1\r\n900    \r\n");
    EXPECT_EQ(other.open(0, false), nullptr);
    EXPECT_EQ(other.getErrno(), JobResultsCacheDir::kErrBusy);
}

TEST_F(Concurrency, FailedNewerDirectoriesGoButNotBusyOrUnfinishedOnes) {
    leave(100, JobResultsCacheDir::Complete);
    leave(200, JobResultsCacheDir::Complete);
    leave(300, JobResultsCacheDir::Writing);
    TestDir job;
    job.cleanFailedCachedirs(150);
    EXPECT_TRUE(fileExists(dirPath(100)));
    EXPECT_FALSE(fileExists(dirPath(200)));
    EXPECT_FALSE(fileExists(dirPath(300)));

    leave(200, JobResultsCacheDir::Complete);
    auto reader = heldBy("read", 200);
    job.cleanFailedCachedirs(150);
    EXPECT_TRUE(fileExists(dirPath(200))) << "held by another process";
    reader.reset();

    std::filesystem::create_directories(dirPath(300));
    job.cleanFailedCachedirs(250);
    EXPECT_TRUE(fileExists(dirPath(300))) << "no State file yet: another job is making it";
}

TEST_F(Concurrency, UnCacheReportsADiscardThatFailed) {
    leave(100, JobResultsCacheDir::Complete);
    std::filesystem::create_directories(dirPath(100) + "/sub");
    writeFileText(dirPath(100) + "/sub/kept", "x");
    chmod((dirPath(100) + "/sub").c_str(), 0500);
    TestDir cleaner(100);
    ASSERT_TRUE(runWhereDirectoryRefusesWrites(dirPath(100) + "/sub",
                                               [&] { EXPECT_EQ(cleaner.unCache(false, 0, 0, 0), -1); }));
    chmod((dirPath(100) + "/sub").c_str(), 0755);
}

// A remover keeps its exclusive lock until the directory itself is gone: a creator waiting for
// the lock gets it only afterwards and makes the directory again, instead of a State file that
// the rmdir trips over; also when a tracer slows the rmdir down.
TEST_F(Concurrency, ACreatorWaitingBehindARemoverMakesTheDirectoryAgain) {
    const std::string said = settings.dir().file("remover.out");
    for (const bool slow : {false, true}) {
        SCOPED_TRACE(slow ? "rmdir slowed down" : "plain");
        if (slow && !straceAvailable()) GTEST_SKIP() << "strace is not available";
        std::filesystem::remove_all(clientDirPath(900));
        std::filesystem::remove(said);
        TestDir first(900, kAppTypeJobResults);
        ASSERT_NE(first.create(0), nullptr);
        ASSERT_EQ(first.close(false), 0);
        const std::string command = (slow ? kUnderStrace + " -e trace=rmdir -e inject=rmdir:delay_enter=300000 " : "") +
                                    VORNICA_TEST_HELPER " cachedir_stage 2 7 900 remove 1001 >" + said;
        FILE* remover = popen(command.c_str(), "w");
        ASSERT_NE(remover, nullptr);
        for (int i = 0; i < 500 && readFileText(said).find("ready") == std::string::npos; ++i) YUSLEEP(10);
        SleepRecorder watch([&](size_t n) { if (n == 1) { fputs("go\n", remover); fflush(remover); } }, 20);
        TestDir creator(900, kAppTypeJobResults);
        EXPECT_NE(creator.create(0), nullptr);
        EXPECT_EQ(pclose(remover), 0);
        EXPECT_EQ(readFileText(said), "ready\n0\n");
        EXPECT_EQ(readFileText(clientDirPath(900) + "/State").substr(0, 1), "3") << "a live directory, not a removed one";
        EXPECT_EQ(creator.close(false), 0);
    }
}
