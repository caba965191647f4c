// Faults the rest of the suite let pass (found by scripts/mutants.sh).
#include <gtest/gtest.h>
#include <stdio.h>

#include "tests/cacheFs/ReservationFixture.h"
#include "tests/support/HelperProcess.h"
#include "tests/support/SleepRecorder.h"

// A lock granted on a reserve file that another process replaced during the wait guards
// nothing: the waiter opens the file now at the name and writes its line there.
TEST_F(Reservation, AGrantOnAFileReplacedDuringTheWaitIsTakenOnTheNewFile) {
    TestCacheFs cache;
    cache.initialize(nullptr);
    writeFileText(reserveFile(), "");
    HelperProcess holder({"file_lock", reserveFile(), "exclusive"});
    ASSERT_EQ(holder.readLine(), "ready");
    SleepRecorder sleeps([&](size_t count) {
        if (count != 1) return;
        writeFileText(reserveFile() + ".new", "");
        ASSERT_EQ(rename((reserveFile() + ".new").c_str(), reserveFile().c_str()), 0);
        holder.writeLine("release");
        EXPECT_EQ(holder.wait(), 0);
    });
    EXPECT_EQ(cache.reserve(10000000, 0, 0, 0), 1);
    EXPECT_EQ(ownBlocks(), 12207);
}
