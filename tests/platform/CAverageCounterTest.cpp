#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <thread>

#include "Platform/CAverageCounter.h"
#include "Platform/EvDebug.h"
#include "Platform/KrCriticalSection.h"
#include "tests/support/EventCapture.h"
#include "tests/support/SettingsFixture.h"

namespace {
// Keeps its longest sample too, as the library's timing counters do.
class LongestCounter : public CAverageCounter {
public:
    using CAverageCounter::CAverageCounter;
    bool AddSample(double seconds) override {
        if (!CAverageCounter::AddSample(seconds)) return false;
        longest = std::fmax(longest, seconds);
        return true;
    }
    void Reset() override {
        longest = 0;
        CAverageCounter::Reset();
    }
    double longest = 0;
};
}  // namespace

TEST(CAverageCounter, AveragesSamplesAndRefusesBadOnes) {
    SettingsFixture settings;
    EventCapture capture;
    EvDebug debug;
    CAverageCounter counter(&debug);
    EXPECT_EQ(counter.Average(), 0.0);
    for (double s : {1.0, 2.0, 0.5, 0.0}) EXPECT_TRUE(counter.AddSample(s));
    for (double s : {-1.0, std::nan(""), std::numeric_limits<double>::infinity()}) EXPECT_FALSE(counter.AddSample(s));
    EXPECT_EQ(counter.Samples(), 4u);
    EXPECT_DOUBLE_EQ(counter.Time(), 3.5);
    EXPECT_DOUBLE_EQ(counter.Average(), 0.875);
    EXPECT_EQ(capture.debugMessages().size(), 3u);
    counter.Reset();
    EXPECT_EQ(counter.Samples(), 0u);
    EXPECT_EQ(counter.Time(), 0.0);
}

TEST(CAverageCounter, SubclassSeesTimedSamplesAndReset) {
    LongestCounter longest(nullptr);
    CAverageCounter& base = longest;
    base.AddSample(0.25);
    base.Start();
    usleep(10 * 1000);
    double timed = base.Stop();
    EXPECT_GE(timed, 0.009);
    EXPECT_EQ(base.Samples(), 2u);
    EXPECT_DOUBLE_EQ(base.Time(), 0.25 + timed);
    EXPECT_DOUBLE_EQ(longest.longest, std::fmax(0.25, timed));
    base.Reset();
    EXPECT_EQ(longest.longest, 0.0);
    base.Start();
    base.Reset();
    EXPECT_EQ(base.Stop(), 0.0) << "Reset forgets a running Start";
    EXPECT_EQ(base.Samples(), 0u);
}

TEST(KrCriticalSection, ReentersInOneThreadAndExcludesOthers) {
    KrCriticalSection section;
    auto tryFromOtherThread = [&section] {
        bool got = false;
        std::thread([&] {
            if ((got = section.tryLock())) section.unlock();
        }).join();
        return got;
    };
    section.lock();
    EXPECT_TRUE(section.tryLock());
    section.unlock();
    EXPECT_FALSE(tryFromOtherThread()) << "still entered once";
    section.unlock();
    EXPECT_TRUE(tryFromOtherThread());
}
