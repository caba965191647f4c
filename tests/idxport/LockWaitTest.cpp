#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "Indexing/idxport/CXFile.h"
#include "Indexing/idxport/LockWait.h"
#include "Platform/MDLock.h"
#include "tests/support/HelperProcess.h"
#include "tests/support/SettingsFixture.h"
#include "tests/support/TempDir.h"

namespace {
long long monotonicMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The number after the first word of a helper's line.
long long timeIn(const std::string& said) { return std::stoll(said.substr(said.find(' ') + 1)); }

int posixTimers() {
    std::ifstream list("/proc/self/timers");
    int count = 0;
    for (std::string line; std::getline(list, line);) count += line.rfind("ID:", 0) == 0;
    return count;
}
}  // namespace

// A waiter in another process blocks in the kernel and holds the lock within milliseconds of its
// release, and a held lock times out at the budget. Where the wait's signal is blocked in the
// thread or the application handles it (before or after the library claimed it), the wait polls:
// it must still end at its budget, never stay blocked, and an application's handler stays. A
// named lock's bounded wait (a flock) blocks the same way.
TEST(LockWait, TakesTheLockAtItsReleaseAndEndsAtTheBudget) {
    SettingsFixture settings;  // a lock directory of its own for the named lock
    const std::string path = settings.dir().file("State");
    CXFile mine;
    ASSERT_EQ(mine.open(path.c_str(), sfOpenOrCreate), 0);
    const struct {
        const char* how;
        unsigned long budgetMs;
        long long releaseAfterMs;  // 0: held throughout
        const char* outcome;
    } rows[] = {{"plain", 10000, 1050, "granted blocks"},
                {"plain", 400, 0, "timedout blocks"},
                {"blocked", 400, 0, "timedout polls"},
                {"taken-after", 400, 0, "timedout polls"},
                {"taken-before", 400, 0, "timedout polls"},
                {"named", 10000, 1050, "granted blocks"},
                {"named", 400, 0, "timedout blocks"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.how + std::string(" ") + row.outcome);
        std::optional<MDLock> named;
        if (row.how == std::string("named")) named.emplace("LOCKWAIT");
        ASSERT_EQ(named ? named->set(0) : mine.lock(sfLockExclusive, 0), 1);
        HelperProcess waiter({"lock_wait", path, std::to_string(row.budgetMs), row.how});
        const std::string waiting = waiter.readLine();
        ASSERT_EQ(waiting.rfind("waiting ", 0), 0u) << waiting;
        const long long start = timeIn(waiting);
        long long released = 0;
        if (row.releaseAfterMs != 0) {
            // Past the brief steps of a wait that polls: it would try again up to 200 ms later.
            std::this_thread::sleep_for(std::chrono::milliseconds(start + row.releaseAfterMs - monotonicMs()));
            released = monotonicMs();
            ASSERT_EQ(named ? (named.reset(), 0) : mine.unlock(), 0);
        }
        const std::string said = waiter.readLine(5000);
        ASSERT_NE(said.find(' '), std::string::npos) << "the wait did not end: '" << said << "'";
        const long long ended = timeIn(said);
        EXPECT_EQ(said.substr(0, said.find(' ')) + said.substr(said.rfind(' ')), row.outcome) << said;
        if (released != 0) {
            EXPECT_GE(ended, released);
            EXPECT_LT(ended - released, 100) << "taken that long after its release";
        } else {
            EXPECT_GE(ended - start, long(row.budgetMs));
            // A wait that polls counts the sleeps it asked for, each longer on a busy machine.
            if (said.ends_with("blocks")) {
                EXPECT_LT(ended - start, long(row.budgetMs) + 250) << "overran its budget";
            }
            ASSERT_EQ(named ? (named.reset(), 0) : mine.unlock(), 0);
        }
        EXPECT_EQ(waiter.wait(), 0);
    }
}

// Every wait deletes its timer, on the time-out path as on the others.
TEST(LockWait, LeavesNoTimerBehind) {
    if (!std::ifstream("/proc/self/timers")) GTEST_SKIP() << "no /proc/self/timers here";
    ASSERT_TRUE(boundedwait::waitsBlock()) << "this process's waits must block for the count to mean anything";
    TempDir dir;
    const std::string path = dir.file("State");
    CXFile holder, waiter;
    ASSERT_EQ(holder.open(path.c_str(), sfOpenOrCreate), 0);
    ASSERT_EQ(waiter.open(path.c_str(), sfReadWrite), 0);
    ASSERT_EQ(holder.lock(sfLockExclusive, 0), 1);
    const int before = posixTimers();
    for (int i = 0; i < 1000; ++i) {
        unsigned long waited = 0;
        ASSERT_EQ(waiter.lockWithin(sfLockShared, 1, waited, LockPacing{256, 200}), 0);
        ASSERT_EQ(waited, 1u);
    }
    EXPECT_EQ(posixTimers(), before);
}
