#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <climits>
#include <cstring>
#include <optional>

#include "Platform/KrTime.h"

namespace {
const time_t kSample = 1796539411;  // 2026-12-06 06:43:31 UTC

void setZone(const std::optional<std::string>& zone) {
    zone ? setenv("TZ", zone->c_str(), 1) : unsetenv("TZ");
    tzset();
}
}  // namespace

TEST(KrTime, TimeStampsAreWholeOrEmpty) {
    const char* old = getenv("TZ");
    const std::optional<std::string> oldZone = old ? std::optional<std::string>(old) : std::nullopt;
    setZone("UTC0");
    char buffer[40];
    EXPECT_STREQ(KR_ctime(&kSample, buffer, sizeof buffer), "Sun Dec  6 06:43:31 2026\n");
    EXPECT_STREQ(KrTime(kSample, buffer, sizeof buffer, false), "06:43:31");
    std::memset(buffer, 'X', sizeof buffer);
    EXPECT_EQ(KR_ctime(&kSample, buffer, 25), nullptr) << "the text and its terminator need 26 bytes";
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[25], 'X');
    EXPECT_EQ(KR_ctime(&kSample, buffer, 26), buffer);
    std::memset(buffer, 'X', sizeof buffer);
    EXPECT_STREQ(KrTime(kSample, buffer, 19, true), "") << "a cut time stamp must not be shown";
    EXPECT_EQ(buffer[19], 'X');
    EXPECT_STREQ(KrTime(kSample, buffer, 20, true), "2026/12/06 06:43:31");
    EXPECT_STREQ(KrTime(kSample, nullptr, 0, true), "") << "the result must always be printable";

    time_t far = 315569520000LL, huge = LLONG_MAX;  // far: 25 Gregorian cycles after 1970, a five-digit year
    EXPECT_STREQ(KR_ctime(&far, buffer, sizeof buffer), "Thu Jan  1 00:00:00 11970\n");
    EXPECT_STREQ(KrTime(LLONG_MAX, buffer, sizeof buffer, true), "");
    EXPECT_EQ(KR_ctime(&far, buffer, 26), nullptr);
    EXPECT_EQ(KR_ctime(&huge, buffer, sizeof buffer), nullptr);
    EXPECT_EQ(KR_ctime(nullptr, buffer, sizeof buffer), nullptr);

    setZone("EST5");
    EXPECT_STREQ(KR_ctime(&kSample, buffer, sizeof buffer), "Sun Dec  6 01:43:31 2026\n");
    setZone(oldZone);
}
