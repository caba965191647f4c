#include "Platform/TempNames.h"

#include <gtest/gtest.h>

#include <set>

#include "Platform/PlatformEnv.h"

TEST(TempNames, MadeNamesParseBackToThisHostAndProcessAndForeignOrMalformedOnesAreNotTaken) {
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        const std::string name = TempNames::make("State", "new");
        EXPECT_TRUE(seen.insert(name).second) << name;
        TempNames::Parsed p;
        ASSERT_TRUE(TempNames::parse(name, "State", "new", p)) << name;
        EXPECT_TRUE(TempNames::madeOnThisHost(p));
        EXPECT_EQ(p.pid, PlatformEnv::processId());
    }
    EXPECT_EQ(TempNames::hostPart().find_first_not_of(
                  "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_"),
              std::string::npos);

    // Another host's names parse, to be judged by age; malformed ones are not taken at all.
    struct Case {
        const char* name;
        bool parses;
        const char* host;
        long pid;
    } cases[] = {
        {"State.new.box.12.0badf00d", true, "box", 12},
        {"State.new.other_host.7.ffffffff", true, "other_host", 7},
        {"State.new.box.12.0BADF00D", false, "", 0},   // upper-case random part
        {"State.new.box.12.badf00d", false, "", 0},    // 7 digits
        {"State.new.box.x2.0badf00d", false, "", 0},   // pid not a number
        {"State.new.a.b.12.0badf00d", false, "", 0},   // a dot in the host
        {"State.new..12.0badf00d", false, "", 0},      // no host
        {"State.old.box.12.0badf00d", false, "", 0},   // another tag
        {"Statex.new.box.12.0badf00d", false, "", 0},  // another base
        {"State.new.box.12", false, "", 0},
        {"State.new.", false, "", 0},
    };
    for (const Case& c : cases) {
        TempNames::Parsed p;
        EXPECT_EQ(TempNames::parse(c.name, "State", "new", p), c.parses) << c.name;
        if (c.parses) { EXPECT_EQ(std::make_pair(p.host, p.pid), std::make_pair(std::string(c.host), c.pid)) << c.name; }
    }
}
