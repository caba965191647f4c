// The first program of docs/usage.md (built from the guide's own text) runs with the guide's
// settings and prints what the guide says it prints.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "tests/support/SettingsFixture.h"
#include "tests/support/TempDir.h"

namespace {
// The fenced block that follows the first line of the guide holding marker.
std::string blockAfter(const std::string& guide, const std::string& marker) {
    const size_t at = guide.find(marker);
    if (at == std::string::npos) return "";
    const size_t begin = guide.find('\n', guide.find("```", at)) + 1;
    return guide.substr(begin, guide.find("\n```", begin) - begin + 1);
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}
}  // namespace

TEST(UsageGuide, ProgramRunsAsWritten) {
    const std::string guide = readFileText(std::string(VORNICA_SOURCE_DIR) + "/docs/usage.md");
    const std::string ini = blockAfter(guide, "<!-- settings of the program below -->");
    ASSERT_NE(ini.find("TalClient=yes"), std::string::npos) << "the guide's settings block";
    SettingsFixture settings;
    const std::string root = settings.dir().file("vornica");
    settings.write(replaced(ini, "/var/lib/vornica", root));

    const std::string output = settings.dir().file("output");
    const int status = std::system((std::string(VORNICA_USAGE_PROGRAM) + " >" + output + " 2>&1").c_str());
    const std::vector<std::string> printed = lines(readFileText(output));
    const std::vector<std::string> expected = lines(replaced(blockAfter(guide, "It prints:"), "/var/lib/vornica", root));
    ASSERT_TRUE(status == 0 && printed.size() == expected.size()) << status << ": " << readFileText(output);
    for (size_t i = 0; i < expected.size(); ++i) {
        const size_t stamp = expected[i].find("<time stamp>");
        if (stamp == std::string::npos) {
            EXPECT_EQ(printed[i], expected[i]);
        } else {
            EXPECT_EQ(printed[i].substr(0, stamp), expected[i].substr(0, stamp));
            EXPECT_EQ(printed[i].find_first_not_of("0123456789", stamp), std::string::npos) << printed[i];
        }
    }
}

// The example piped into a reader that stops early ends at once and removes its scratch
// instance; --help runs nothing.
TEST(Example, EndsWhenItsReaderGoesAndLeavesNothingBehind) {
    TempDir dir;
    const std::string example = std::string(VORNICA_TOOLS_DIR) + "/vornica-example";
    for (const char* lines : {"1", "3", "90", "125"}) {
        SCOPED_TRACE(lines);
        const std::string out = dir.file(std::string("head") + lines);
        ASSERT_EQ(std::system(("timeout 60 sh -c '" + example + " | head -" + lines + " >" + out + "'").c_str()), 0);
        const std::string first = readFileText(out).substr(0, readFileText(out).find(" ("));
        ASSERT_EQ(first.rfind("scratch instance in ", 0), 0u) << first;
        EXPECT_FALSE(fileExists(first.substr(20))) << "left behind";
    }
    const std::string help = dir.file("help");
    ASSERT_EQ(std::system((example + " --help >" + help).c_str()), 0);
    EXPECT_EQ(readFileText(help).rfind("usage: vornica-example", 0), 0u);
}
