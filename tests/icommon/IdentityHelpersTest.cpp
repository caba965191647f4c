#include <gtest/gtest.h>

#include "Indexing/icommon/IdentityHelpers.h"
#include "tests/support/EventCapture.h"
#include "tests/support/SettingsFixture.h"

namespace {
using Lines = std::vector<std::string>;
struct IdentityHelpers : ::testing::Test {
    Lines lines() {
        Lines out = capture.debugMessages();
        capture.clear();
        return out;
    }
    SettingsFixture settings;
    EventCapture capture;
};
}  // namespace

TEST_F(IdentityHelpers, NamesAndIdsOfTheFocusClientAGivenOneOrThePhysicalMachine) {
    settings.write("[Platform]\nPhysicalMachine=phys\n[~Machines\\phys]\nHostName=Phys.Example.COM\nClientId=42\n");
    EXPECT_EQ(getMyHostName(nullptr, true, false), "phys");
    EXPECT_EQ(getMyHostName("", false, true), "phys.example.com");
    EXPECT_EQ(getMyClientId(nullptr), 42);
    EXPECT_EQ(lines(), Lines(3, "MYHOSTNAME: WARNING: no focus client name - defaulting to physical machine 'phys'"));

    settings.write("[Focus]\nClientName=alpha\n[~Machines\\alpha]\nHostName=Alpha.example\n");
    EXPECT_EQ(getMyHostName(nullptr, false, false), "Alpha.example");
    EXPECT_EQ(getMyHostName("ghost", false, true), "");
    EXPECT_EQ(getMyClientId(nullptr), 0);
    EXPECT_EQ(lines(), (Lines{"MYHOSTNAME: ERROR: cannot determine mangled hostname for 'ghost'",
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
    EXPECT_EQ(lines(), Lines{"MYTEMPDIR: ERROR: cannot create temporary directory '" + file + "', errno 17"});
}

TEST_F(IdentityHelpers, TalServeTriesPlatformTypesFourTwoOneInTurn) {
    auto next = [](int type) {
        return "getTalServe: cannot obtain TalServe name for platform " + std::to_string(type) + " - trying next platform";
    };
    const struct {
        std::string ini, expected;
        Lines lines;
    } cases[] = {
        {"[Platform\\1]\nTalServerHostName=cs1\n[Platform\\4]\nTalServerHostName=cs4\n", "cs4", {}},
        {"[Platform\\2]\nTalServerHostName=cs2\n[Platform\\1]\nTalServerHostName=cs1\n", "cs2", {next(4)}},
        {"[Platform\\1]\nTalServerHostName=cs1\n[Platform\\4]\nTalServerHostName=\n", "cs1", {next(4), next(2)}},
        {"", "", {next(4), next(2), "getTalServe: cannot obtain TalServe name for platform 1 - giving up"}},
    };
    for (const auto& c : cases) {
        settings.write(c.ini);
        EXPECT_EQ(getTalServe(), c.expected) << c.ini;
        EXPECT_EQ(lines(), c.lines) << c.ini;
    }
}
