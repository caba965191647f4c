#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "Platform/MDLock.h"
#include "Platform/PlatformSleep.h"
#include "tests/support/HelperProcess.h"
#include "tests/support/SettingsFixture.h"

namespace {
struct SleepHookGuard {
    explicit SleepHookGuard(PlatformSleepHook hook) { setPlatformSleepHook(std::move(hook)); }
    ~SleepHookGuard() { setPlatformSleepHook({}); }
};
}  // namespace

TEST(MDLock, HeldAcrossProcessesAndFreedWhenTheHolderDies) {
    SettingsFixture settings;
    HelperProcess holder({"mdlock_hold", "SHARED"});
    ASSERT_TRUE(holder.waitForLine("ready"));
    HelperProcess waiter({"mdlock_wait", "SHARED", "forever"});
    ASSERT_TRUE(waiter.waitForLine("waiting"));
    EXPECT_EQ(waiter.readLine(300), "") << "the waiter got the lock while it was held";
    holder.kill(SIGKILL);
    EXPECT_EQ(holder.wait(), 128 + SIGKILL);
    ASSERT_TRUE(waiter.waitForLine("acquired"));

    MDLock mine("SHARED");
    EXPECT_FALSE(mine.set(0));
    waiter.writeLine("");
    EXPECT_EQ(waiter.wait(), 0);
    EXPECT_TRUE(mine.set(0)) << "a holder that exits must release the lock";
}

TEST(MDLock, BoundedWaitPollsThroughThePlatformSleep) {
    SettingsFixture settings;
    HelperProcess holder({"mdlock_hold", "BOUNDED"});
    ASSERT_TRUE(holder.waitForLine("ready"));
    MDLock lock("BOUNDED");
    std::vector<unsigned long> sleeps;
    SleepHookGuard hook([&](unsigned long ms, const char*, int) {
        sleeps.push_back(ms);
        if (sleeps.size() == 5) {  // the holder lets go during the fifth sleep
            holder.writeLine("");
            holder.wait();
        }
    });
    EXPECT_FALSE(lock.set(50));
    EXPECT_EQ(sleeps, (std::vector<unsigned long>{20, 20, 10}));
    EXPECT_FALSE(lock.set(0));
    EXPECT_EQ(sleeps.size(), 3u) << "a zero time-out tries once without sleeping";
    EXPECT_TRUE(lock.set(1000));
    EXPECT_EQ(sleeps.size(), 5u);
}

TEST(MDLock, ObjectsContendInOneProcessAndWaitForeverBlocks) {
    SettingsFixture settings;
    MDLock other("ONE");
    {
        MDLock first("ONE");
        ASSERT_TRUE(first.set(MDLock::kWaitForever));
        EXPECT_TRUE(first.set(0)) << "an object that holds the lock already has it";
        EXPECT_FALSE(other.set(0));
    }
    EXPECT_TRUE(other.set(0)) << "the destructor must release the lock";

    // The 32-bit all-ones value waits in the kernel, not by polling through the sleep.
    std::atomic<int> sleeps{0};
    SleepHookGuard hook([&](unsigned long, const char*, int) { ++sleeps; });
    std::atomic<bool> got{false};
    std::thread waiter([&] { got = MDLock("ONE").set(0xFFFFFFFFUL); });
    usleep(100 * 1000);
    EXPECT_FALSE(got);
    other.unset();
    waiter.join();
    EXPECT_TRUE(got);
    EXPECT_EQ(sleeps, 0);
}

TEST(MDLock, RefusesBadNamesAndFilesPlantedUnderTheLockName) {
    SettingsFixture settings;
    for (const char* name : {"", "a/b", "../up", static_cast<const char*>(nullptr)})
        EXPECT_FALSE(MDLock(name).set(0)) << (name ? name : "(null)");
    EXPECT_FALSE(MDLock(std::string(260, 'n').c_str()).set(0));

    // A FIFO must not block the open; a symbolic link is not followed.
    ASSERT_EQ(mkfifo((settings.lockDir() + "/fifo.lock").c_str(), 0666), 0);
    EXPECT_FALSE(MDLock("fifo").set(MDLock::kWaitForever));
    std::string target = settings.dir().file("target");
    ASSERT_EQ(symlink(target.c_str(), (settings.lockDir() + "/link.lock").c_str()), 0);
    EXPECT_FALSE(MDLock("link").set(0));
    EXPECT_FALSE(fileExists(target));
}

TEST(MDLock, CreatesAMissingLockDirectoryForEveryUser) {
    SettingsFixture settings;
    std::string dir = settings.dir().file("new/nested/locks");
    setenv("VORNICA_LOCK_DIR", (dir + "/").c_str(), 1);  // the fixture puts the old value back
    mode_t oldMask = umask(077);
    MDLock lock("X");
    bool held = lock.set(0);
    umask(oldMask);
    ASSERT_TRUE(held);
    EXPECT_EQ(lock.path(), dir + "/X.lock");
    struct stat st {};
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 01777u);
    ASSERT_EQ(stat(lock.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u) << "other users must be able to open the lock file";
}
