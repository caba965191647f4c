#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <optional>
#include <thread>

#include "Platform/MDLock.h"
#include "tests/support/EventCapture.h"
#include "tests/support/HelperProcess.h"
#include "tests/support/SettingsFixture.h"
#include "tests/support/SleepRecorder.h"

TEST(MDLock, ContendedAcrossProcessesAndObjectsAndFreedWhenTheHolderEnds) {
    SettingsFixture settings;
    HelperProcess holder({"mdlock_hold", "SHARED"}, "ready");
    HelperProcess waiter({"mdlock_wait", "SHARED"});
    ASSERT_TRUE(waiter.waitForLine("waiting"));
    EXPECT_EQ(waiter.readLine(300), "") << "the waiter got the lock while it was held";
    holder.kill(SIGKILL);
    ASSERT_TRUE(waiter.waitForLine("acquired"));

    // A bounded wait sleeps through the platform sleep, short at first; the waiter exits,
    // without unlocking, during the seventh sleep.
    std::optional<MDLock> mine(std::in_place, "SHARED");
    SleepRecorder recorder([&](size_t n) {
        if (n == 7) {
            waiter.writeLine("");
            EXPECT_EQ(waiter.wait(), 0);
        }
    });
    const std::vector<unsigned long>& sleeps = recorder.ms;
    EXPECT_FALSE(mine->set(50));
    EXPECT_EQ(sleeps, (std::vector<unsigned long>{1, 2, 4, 8, 16, 19}));
    EXPECT_FALSE(mine->set(0));
    EXPECT_EQ(sleeps.size(), 6u) << "a zero time-out tries once without sleeping";
    EXPECT_TRUE(mine->set(1000)) << "a holder that exits must release the lock";
    EXPECT_EQ(sleeps.size(), 7u) << "taken at the try after the holder's exit";
    EXPECT_TRUE(mine->set(0)) << "an object that holds the lock already has it";

    // Objects of one process contend too; the 32-bit all-ones value waits without limit, and not
    // in sleeps.
    std::atomic<bool> got{false};
    std::thread other([&] { got = MDLock("SHARED").set(0xFFFFFFFFUL); });
    usleep(100 * 1000);
    EXPECT_FALSE(got);
    mine.reset();  // the destructor releases the lock
    other.join();
    EXPECT_TRUE(got);
    EXPECT_EQ(sleeps.size(), 7u);
}

TEST(MDLock, CreatesTheLockDirectoryForEveryUserAndRefusesWhatIsPlantedThere) {
    SettingsFixture settings;
    std::string dir = settings.dir().file("new/nested/locks");
    setenv("VORNICA_LOCK_DIR", (dir + "/").c_str(), 1);  // the fixture puts the old value back
    mode_t oldMask = umask(077);
    MDLock lock("X");
    EXPECT_TRUE(lock.set(0));
    umask(oldMask);
    EXPECT_EQ(modeOf(dir), 01777u);
    EXPECT_EQ(modeOf(lock.path()), 0644u) << "other users must be able to open the lock file";

    std::string tooLong(260, 'n');
    for (const char* name : {"", "../up", tooLong.c_str(), static_cast<const char*>(nullptr)})
        EXPECT_FALSE(MDLock(name).set(0)) << (name ? name : "(null)");
    // A FIFO must not block the open; a symbolic link is not followed.
    ASSERT_EQ(mkfifo((dir + "/fifo.lock").c_str(), 0666), 0);
    EXPECT_FALSE(MDLock("fifo").set(MDLock::kWaitForever));
    std::string target = settings.dir().file("target");
    ASSERT_EQ(symlink(target.c_str(), (dir + "/link.lock").c_str()), 0);
    EXPECT_FALSE(MDLock("link").set(0));
    EXPECT_FALSE(fileExists(target));
    writeFileText(target, "");
    EXPECT_FALSE(MDLock("link").set(0)) << "nor when it points at a file";
}

// A lock directory where others can move lock files away lets two processes hold one lock: it is
// refused with a line that names it and what to do. Another user's directory is only warned of.
TEST(MDLock, RefusesALockDirectoryThatOthersCanChange) {
    SettingsFixture settings;
    EventCapture capture;
    const std::string good = settings.dir().file("good");
    ASSERT_EQ(mkdir(good.c_str(), 0700), 0);
    struct Case {
        const char* name;
        mode_t mode;  // 0: a symbolic link to good
        uid_t owner;  // -1: this user
        const char* logged;
    } cases[] = {
        {"open", 0777, static_cast<uid_t>(-1), "without the sticky bit (mode 0777)"},
        {"group", 0775, static_cast<uid_t>(-1), "without the sticky bit (mode 0775)"},
        {"link", 0, static_cast<uid_t>(-1), "symbolic link"},
        {"sticky", 01777, static_cast<uid_t>(-1), nullptr},
        {"private", 0755, static_cast<uid_t>(-1), nullptr},
        {"foreign", 01777, 65534, "WARNING: lock directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = settings.dir().file(c.name);
        if (c.mode == 0) {
            ASSERT_EQ(symlink(good.c_str(), dir.c_str()), 0);
        } else {
            ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
            ASSERT_EQ(chmod(dir.c_str(), c.mode), 0);
        }
        if (c.owner != static_cast<uid_t>(-1)) {
            if (geteuid() != 0) continue;  // only root can give a directory away
            ASSERT_EQ(chown(dir.c_str(), c.owner, static_cast<gid_t>(-1)), 0);
        }
        setenv("VORNICA_LOCK_DIR", dir.c_str(), 1);
        capture.clear();
        const bool refused = c.logged != nullptr && std::string(c.logged).find("WARNING") == std::string::npos;
        EXPECT_EQ(MDLock("X").set(0), !refused);
        if (c.logged != nullptr) {
            EXPECT_EQ(capture.debugLinesWith(c.logged), 1u) << ::testing::PrintToString(capture.debugMessages());
            EXPECT_EQ(capture.debugLinesWith(dir), 1u) << "the line names the directory";
        }
        EXPECT_EQ(fileExists(dir + "/X.lock"), !refused);
    }
}
