#include <gtest/gtest.h>

#include "Indexing/icommon/IdentityHelpers.h"
#include "tests/support/EventCapture.h"
#include "tests/support/SettingsFixture.h"

namespace {
using Lines = std::vector<std::string>;
struct IdentityHelpers : ::testing::Test {
    SettingsFixture settings;
    EventCapture capture;
};
}  // namespace

// Without a focus client the physical machine stands in; a failure is logged with its cause.
TEST_F(IdentityHelpers, NamesAndIdsOfTheFocusClientAGivenOneOrThePhysicalMachine) {
    settings.write("[Platform]\nPhysicalMachine=phys\n[~Machines\\phys]\nHostName=Phys.Example.COM\nClientId=42\n");
    EXPECT_EQ(getMyHostName(nullptr, true, false), "phys");
    EXPECT_EQ(getMyHostName("", false, true), "phys.example.com");
    EXPECT_EQ(getMyClientId(nullptr), 42);

    settings.write("[Focus]\nClientName=alpha\n[~Machines\\alpha]\nHostName=Alpha.example\n");
    capture.clear();
    EXPECT_EQ(getMyHostName(nullptr, false, false), "Alpha.example");
    EXPECT_EQ(getMyHostName("ghost", false, true), "");
    EXPECT_EQ(getMyClientId(nullptr), 0);
    EXPECT_EQ(capture.debugMessages(), (Lines{"MYHOSTNAME: ERROR: cannot determine mangled hostname for 'ghost'",
                                              "MYCLIENTID: getClientId failed, code 2, client name 'alpha'"}));
}

TEST_F(IdentityHelpers, TempDirIsCreatedWhenMissingAndRefusedWhenAFileHoldsItsName) {
    EXPECT_EQ(getMyTempDir(), "") << "none configured";
    const std::string dir = settings.dir().file("tmp/a"), file = settings.dir().file("plain");
    settings.write("[Platform]\nTempDirectory=" + dir + "\n");
    EXPECT_EQ(getMyTempDir(), dir);
    EXPECT_TRUE(fileExists(dir + "/."));
    writeFileText(file, "x");
    settings.write("[Platform]\nTempDirectory=" + file + "\n");
    EXPECT_EQ(getMyTempDir(), "");
    EXPECT_EQ(capture.debugMessages(), Lines{"MYTEMPDIR: ERROR: cannot create temporary directory '" + file + "', errno 17"});
}

TEST_F(IdentityHelpers, TalServeTriesPlatformTypesFourTwoOneInTurn) {
    const struct {
        std::string ini, expected;
    } cases[] = {
        {"[Platform\\1]\nTalServerHostName=cs1\n[Platform\\4]\nTalServerHostName=cs4\n", "cs4"},
        {"[Platform\\2]\nTalServerHostName=cs2\n[Platform\\4]\nTalServerHostName=cs4\n", "cs4"},
        {"[Platform\\2]\nTalServerHostName=cs2\n[Platform\\1]\nTalServerHostName=cs1\n", "cs2"},
        {"[Platform\\1]\nTalServerHostName=cs1\n[Platform\\4]\nTalServerHostName=\n", "cs1"},
        {"", ""},
    };
    for (const auto& c : cases) {
        settings.write(c.ini);
        EXPECT_EQ(getTalServe(), c.expected) << c.ini;
    }
    EXPECT_EQ(capture.debugMessages().back(), "getTalServe: cannot obtain TalServe name for platform 1 - giving up");
}
