#include <gtest/gtest.h>
#include <stdlib.h>

#include "Indexing/icommon/TextEncoding.h"
#include "tests/support/EventCapture.h"
#include "tests/support/SettingsFixture.h"

namespace {
struct Encoding : ::testing::Test {
    void SetUp() override { setenv("LC_ALL", "C", 1); }
    void TearDown() override { unsetenv("LC_ALL"); }
    // The debug lines as "function: message".
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        for (const JournalRecord& r : capture.ofKind("debug")) out.push_back(r.function + ": " + r.message);
        return out;
    }
    SettingsFixture settings{"[Platform]\nLocalCodePage=ISO-8859-1\n"};
    EventCapture capture;
};
using Lines = std::vector<std::string>;
}  // namespace

TEST_F(Encoding, Latin1ThroughTheSetting) {
    EXPECT_EQ(localToUtf("plain text"), "plain text");
    EXPECT_EQ(localToUtf("caf\xE9"), "caf\xC3\xA9") << "two bytes for a Latin letter";
    EXPECT_EQ(utfToLocal("caf\xC3\xA9"), "caf\xE9");
    EXPECT_TRUE(lines().empty());
    EXPECT_EQ(utfToLocal("5 \xE2\x82\xAC"), "5 \xE2\x82\xAC") << "no default character for the euro sign";
    EXPECT_EQ(utfToLocal("bad \xC3"), "bad \xC3");
    EXPECT_EQ(lines(), (Lines{"utfToLocal: WideCharToMultiByte '5 \xE2\x82\xAC' failed, code 84",
                              "utfToLocal: ConvertUtf8ToUnicode 'bad \xC3' failed"}));

    // Texts beyond 1023 characters come back unchanged.
    capture.clear();
    const std::string fits(1023, 'a'), text(2000, 'a'), latin(1023, '\xE9');
    EXPECT_EQ(localToUtf(fits.c_str()), fits);
    EXPECT_TRUE(lines().empty());
    EXPECT_EQ(localToUtf(text.c_str()), text);
    EXPECT_EQ(utfToLocal(text.c_str()), text);
    EXPECT_EQ(localToUtf(latin.c_str()), latin) << "1023 wide characters, but 2046 bytes of UTF-8";
    EXPECT_EQ(lines().size(), 3u) << "each failure is logged";
}
