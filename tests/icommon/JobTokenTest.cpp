#include <gtest/gtest.h>

#include <optional>

#include "Indexing/icommon/JobToken.h"
#include "tests/support/SettingsFixture.h"

namespace {
struct JobToken : ::testing::Test {
    SettingsFixture settings{"[Debug]\nIndexDebug=2\n"};
};
}  // namespace

// A field that is not a number reads as 0; a token without an attempt fails.
TEST_F(JobToken, ParseGrammar) {
    const std::string long128 = "123:2:1:" + std::string(119, '0') + "5";
    struct Case {
        std::optional<std::string> token;  // nullopt: a null token
        bool ok;
        int64_t jobId;
        unsigned long phase, attempt, counter;
    };
    const std::vector<Case> cases = {
        {"123:2:1:7", true, 123, 2, 1, 7},
        {"123:2:1", true, 123, 2, 1, 0},
        {"123", true, 123, 0, 0, 0},  // the old format
        {"123:2", false, 0, 0, 0, 0},
        {"x:2:1", true, 0, 2, 1, 0},
        {std::nullopt, false, 0, 0, 0, 0},
        {"", false, 0, 0, 0, 0},
        {"12ab:3x:4 :5;", true, 12, 3, 4, 5},  // a number followed by other characters
        {"1::y:", true, 1, 0, 0, 0},
        {"1:2:3:4:5", true, 1, 2, 3, 4},
        {"-5:-1:+1: 2", true, 0, 0, 0, 0},  // neither a sign nor an out-of-range number wraps round
        {"18446744073709551615:4294967295:1", true, -1, 4294967295ul, 1, 0},
        {"18446744073709551616:4294967296:1", true, 0, 0, 1, 0},
        {long128, true, 123, 2, 1, 0},  // read up to 127 characters: the counter's 5 is cut off
    };
    for (const Case& c : cases) {
        const char* token = c.token ? c.token->c_str() : nullptr;
        SCOPED_TRACE(token != nullptr ? token : "(null)");
        int64_t jobId = 99;
        unsigned long phase = 99, attempt = 99, counter = 99;
        EXPECT_EQ(parseJobToken(token, jobId, phase, attempt, counter), c.ok);
        EXPECT_EQ(std::make_tuple(jobId, phase, attempt, counter), std::make_tuple(c.jobId, c.phase, c.attempt, c.counter));
        EXPECT_EQ(getJobIdFromJobToken(token), c.ok ? c.jobId : 0);
    }
}

TEST_F(JobToken, Construct) {
    EXPECT_EQ(constructJobToken(123, 2, 1), "123:2:1:0");
    EXPECT_EQ(constructJobToken(123, 2, 1, 7), "123:2:1:7");
    EXPECT_EQ(constructJobToken(5, 0, 1) + " " + constructJobToken(5, 1, 0, 3), "5:0:1:0 5:1:0:3") << "fake tokens";
    const std::string negative = constructJobToken(-2, 4294967295ul, 3, 4);
    EXPECT_EQ(negative, "18446744073709551614:4294967295:3:4");
    EXPECT_EQ(getJobIdFromJobToken(negative.c_str()), -2) << "a signed id reads back as itself";
    EXPECT_EQ(constructJobToken(5, 4294967296ul, 1), "") << "a phase that a token cannot hold";
}
