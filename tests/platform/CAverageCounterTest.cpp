#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>

#include "Platform/CAverageCounter.h"
#include "Platform/EvDebug.h"
#include "tests/support/EventCapture.h"
#include "tests/support/SettingsFixture.h"

namespace {
// A counter that extends this one, recording every sample it is handed.
struct WatchingCounter : CAverageCounter {
    using CAverageCounter::CAverageCounter;
    bool AddSample(double seconds) override {
        seen.push_back(seconds);
        return CAverageCounter::AddSample(seconds);
    }
    void Reset() override {
        seen.clear();
        CAverageCounter::Reset();
    }
    std::vector<double> seen;
};
}  // namespace

TEST(CAverageCounter, AveragesGoodSamplesAndLetsASubclassSeeThemAndTheReset) {
    SettingsFixture settings;
    EventCapture capture;
    EvDebug debug;
    WatchingCounter watching(&debug);
    CAverageCounter& counter = watching;
    EXPECT_EQ(counter.Average(), 0.0);
    counter.Start();
    usleep(10 * 1000);
    double timed = counter.Stop();
    EXPECT_GE(timed, 0.009);
    EXPECT_EQ(counter.Stop(), 0.0) << "one Start, one sample";
    EXPECT_EQ(watching.seen, std::vector<double>{timed}) << "Stop adds through the virtual AddSample";
    for (double s : {0.001, 0.0}) EXPECT_TRUE(counter.AddSample(s));
    for (double s : {-1.0, std::nan(""), HUGE_VAL}) EXPECT_FALSE(counter.AddSample(s));
    EXPECT_EQ(capture.debugMessages().size(), 3u) << "each refused sample is reported";
    EXPECT_EQ(counter.Samples(), 3u);
    EXPECT_DOUBLE_EQ(counter.Time(), timed + 0.001);
    EXPECT_DOUBLE_EQ(counter.Average(), (timed + 0.001) / 3);

    counter.Start();
    counter.Reset();
    EXPECT_TRUE(watching.seen.empty()) << "Reset is virtual";
    EXPECT_EQ(counter.Stop(), 0.0) << "Reset forgets a running Start";
    EXPECT_EQ(counter.Samples(), 0u);
    EXPECT_EQ(counter.Time(), 0.0);
}
