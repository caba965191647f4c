#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <climits>
#include <cstring>
#include <optional>
#include <string>

#include "Platform/KrTime.h"

namespace {
const time_t kSample = 1796539411;  // 2026-12-06 06:43:31 UTC

// Runs each test in a chosen time zone and puts the process's zone back afterwards.
class KrTimeFormat : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* old = getenv("TZ")) old_ = old;
        setZone("UTC0");
    }
    void TearDown() override {
        if (old_)
            setenv("TZ", old_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    static void setZone(const char* zone) {
        setenv("TZ", zone, 1);
        tzset();
    }
    std::optional<std::string> old_;
};
}  // namespace

TEST_F(KrTimeFormat, CtimeFormNeverOverflows) {
    char buffer[40];
    EXPECT_STREQ(KR_ctime(&kSample, buffer, sizeof buffer), "Sun Dec  6 06:43:31 2026\n");
    std::memset(buffer, 'X', sizeof buffer);
    EXPECT_EQ(KR_ctime(&kSample, buffer, 25), nullptr) << "the text and its terminator need 26 bytes";
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[25], 'X');
    EXPECT_EQ(KR_ctime(&kSample, buffer, 26), buffer);

    time_t far = 315569520000LL;  // 25 Gregorian cycles after 1970: a five-digit year
    EXPECT_STREQ(KR_ctime(&far, buffer, sizeof buffer), "Thu Jan  1 00:00:00 11970\n");
    EXPECT_EQ(KR_ctime(&far, buffer, 26), nullptr);
    time_t huge = LLONG_MAX;
    EXPECT_EQ(KR_ctime(&huge, buffer, sizeof buffer), nullptr);
    EXPECT_EQ(KR_ctime(nullptr, buffer, sizeof buffer), nullptr);

    setZone("EST5");
    EXPECT_STREQ(KR_ctime(&kSample, buffer, sizeof buffer), "Sun Dec  6 01:43:31 2026\n");
}

TEST_F(KrTimeFormat, CompactFormWithOrWithoutTheDate) {
    char buffer[40];
    EXPECT_STREQ(KrTime(kSample, buffer, sizeof buffer, false), "06:43:31");
    std::memset(buffer, 'X', sizeof buffer);
    EXPECT_STREQ(KrTime(kSample, buffer, 19, true), "") << "a cut time stamp must not be shown";
    EXPECT_EQ(buffer[19], 'X');
    EXPECT_STREQ(KrTime(kSample, buffer, 20, true), "2026/12/06 06:43:31");
    EXPECT_STREQ(KrTime(kSample, nullptr, 0, true), "") << "the result must always be printable";
    EXPECT_STREQ(KrTime(LLONG_MAX, buffer, sizeof buffer, true), "");
}
