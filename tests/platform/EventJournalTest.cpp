#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <memory>
#include <sstream>

#include <nlohmann/json.hpp>

#include "Platform/CYuUTFOSAPI.h"
#include "Platform/EvDebug.h"
#include "Platform/EventJournal.h"
#include "tests/support/HelperProcess.h"
#include "tests/support/SettingsFixture.h"
#include "tests/support/StreamRedirect.h"

namespace {
using Json = nlohmann::json;
// A string of a journal line as docs/events.md says to read it: decoded by a strict JSON reader,
// each character U+10FE80..U+10FEFF (UTF-8 F4 8F BA/BB xx) turned back into the byte it ends in.
std::string bytesOf(const Json& value) {
    const std::string s = value.get<std::string>();
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s.compare(i, 2, "\xF4\x8F") == 0 && i + 3 < s.size() && (s[i + 2] == '\xBA' || s[i + 2] == '\xBB')) {
            out += static_cast<char>(0x80 | (s[i + 2] & 1) << 6 | (s[i + 3] & 0x3F));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

// Every journal line of the files given, each a whole record.
std::vector<std::string> journalLines(const std::vector<std::string>& paths) {
    std::vector<std::string> lines;
    for (const std::string& path : paths) {
        std::istringstream in(readFileText(path));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
    }
    return lines;
}
}  // namespace

TEST(EventJournal, LinesAreStrictJsonAndGiveBackEveryByteOfATextThatIsNotUtf8) {
    for (const std::string& text : {
             std::string("caf\xE9 \xFF\x80 end"),                          // Latin-1
             std::string("\xC0\xAF overlong, \xE2\x82 cut, \xE2\x82"),     // bad sequences, one at the end
             std::string("\xED\xA0\x80 surrogate, \xF4\x90\x80\x80 too large"),
             std::string("\xF4\x8F\xBA\x80\xF4\x8F\xBB\xBF\xF4\x8F\xBC\x80"),  // U+10FE80, U+10FEFF, U+10FF00
             std::string("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80 \\ \" \t\x01\x7F"),  // valid UTF-8 and escapes
             std::string("nul \0 inside", 12),
         }) {
        SCOPED_TRACE(testing::PrintToString(text));
        JournalRecord debug;
        debug.kind = "debug";
        debug.program = "prog\xE9";
        debug.function = debug.message = text;
        const std::string line = EventJournal::toJsonLine(debug);
        std::wstring strict;  // the conversion refuses what is not strict UTF-8
        EXPECT_TRUE(line.find('\0') == std::string::npos && !CYuUTFOSAPI::UTF8ToLocalEncoding(line.c_str(), strict).IsErrorSet())
            << "the line is UTF-8";
        const Json doc = Json::parse(line);  // throws on what a strict reader refuses
        EXPECT_EQ(bytesOf(doc["message"]), text);
        EXPECT_EQ(bytesOf(doc["function"]), text);
        EXPECT_EQ(bytesOf(doc["program"]), "prog\xE9");

        // A streamed text is a C string: it ends at its first '\0'.
        JournalRecord event;
        event.kind = "event";
        event.args = {JournalArg::ofSigned(-1), JournalArg::ofText(text.c_str())};
        EXPECT_EQ(bytesOf(Json::parse(EventJournal::toJsonLine(event))["args"][1]), text.substr(0, text.find('\0')));
    }
}

TEST(EventJournal, IsCreatedForTheSharedGroupAndTakesASecondAccountsRecords) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to write as a second account";
    SettingsFixture fixture;
    chmod(fixture.dir().path().c_str(), 0755);  // the second account reaches the log directory
    chmod(fixture.logDir().c_str(), 0777);
    const mode_t saved = umask(0002);
    EvDebug().debug("first");
    umask(saved);
    EXPECT_EQ(modeOf(EventJournal::journalPath()), 0664u);
    // nobody, in the journal's group (root's here).
    ASSERT_EQ(runHelper({"journal_write", "2", "65534", "0"}), 0);
    EXPECT_EQ(journalLines({EventJournal::journalPath()}).size(), 3u);
    EXPECT_NE(fixture.journalText().find("\"pid\":"), std::string::npos);
}

// The log directory is often world-writable: whatever is planted at the journal's name is left
// alone, and standard error says once why nothing is written.
TEST(EventJournal, RefusesWhatIsNotARegularFileAndSaysWhyOnce) {
    struct Case {
        const char* name;
        std::function<void(const SettingsFixture&, const std::string& journal)> plant;
        const char* said;
    };
    const Case cases[] = {
        {"link", [](const SettingsFixture& f, const std::string& j) { writeFileText(f.dir().file("target"), "keep\n"); symlink(f.dir().file("target").c_str(), j.c_str()); },
         "symbolic link"},
        {"dangling link", [](const SettingsFixture& f, const std::string& j) { symlink(f.dir().file("absent").c_str(), j.c_str()); }, "symbolic link"},
        {"fifo", [](const SettingsFixture&, const std::string& j) { mkfifo(j.c_str(), 0666); }, "not a regular file"},
        {"directory", [](const SettingsFixture&, const std::string& j) { mkdir(j.c_str(), 0777); }, "not a regular file"},
        {"uncreatable folder", [](const SettingsFixture& f, const std::string&) {
             writeFileText(f.dir().file("plain"), "");
             setenv("VORNICA_DEBUG_DIR", f.dir().file("plain/log/").c_str(), 1);
         }, "cannot create the log directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SettingsFixture fixture;
        c.plant(fixture, EventJournal::journalPath());
        EventJournal::closeJournal();
        withStreamAt(2, fixture.dir().file("stderr"), [] {
            EvDebug().debug("refused");
            EvDebug().debug("refused again");
        });
        const std::string said = readFileText(fixture.dir().file("stderr"));
        EXPECT_NE(said.find(c.said), std::string::npos) << said;
        EXPECT_EQ(said.find('\n'), said.size() - 1) << "one line: " << said;
        if (fileExists(fixture.dir().file("target"))) {
            EXPECT_EQ(readFileText(fixture.dir().file("target")), "keep\n");
        }
        EXPECT_FALSE(fileExists(fixture.dir().file("absent")));
    }
}

// Four processes write at once into a journal that rotates every 8 KB, in a log directory they
// have to make first: no record is lost, cut or doubled, and every rotated file reached the limit
// but did not grow on.
TEST(EventJournal, RotatesUnderSeveralWritersWithoutLosingARecord) {
    SettingsFixture fixture("[EventJournal]\nMaxSizeKB=8\nKeepFiles=60\n");
    setenv("VORNICA_DEBUG_DIR", fixture.dir().file("made/log/").c_str(), 1);  // the fixture puts it back
    const int writers = 4, perWriter = 400;
    std::vector<std::unique_ptr<HelperProcess>> helpers;
    for (int w = 0; w < writers; ++w)
        helpers.push_back(std::make_unique<HelperProcess>(std::vector<std::string>{"journal_write", std::to_string(perWriter)}));
    for (auto& helper : helpers) ASSERT_EQ(helper->wait(), 0);

    const std::string journal = EventJournal::journalPath();
    std::vector<std::string> files = {journal};
    for (int k = 1; fileExists(journal + "." + std::to_string(k)); ++k) {
        files.push_back(journal + "." + std::to_string(k));
        // Reached the limit, and no writer went on appending to it once it was rotated away.
        EXPECT_GE(readFileText(files.back()).size(), 8192u) << files.back();
        EXPECT_LT(readFileText(files.back()).size(), 16384u) << files.back();
    }
    ASSERT_GT(files.size(), 3u) << "the journal rotated";
    ASSERT_LT(files.size(), 61u) << "no file was dropped";
    std::map<std::string, int> seen;
    for (const std::string& line : journalLines(files)) {
        ASSERT_TRUE(line.front() == '{' && line.back() == '}') << line;
        const size_t at = line.find("\"message\":\"line ");
        ASSERT_NE(at, std::string::npos) << line;
        ++seen[line.substr(at, line.find('"', at + 11) - at)];
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(writers * perWriter));
    for (const auto& [record, count] : seen) EXPECT_EQ(count, 1) << record;
}
