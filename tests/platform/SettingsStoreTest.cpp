#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Platform/SettingsStore.h"
#include "Platform/TempNames.h"
#include "tests/support/DeniedDirectory.h"
#include "tests/support/HelperProcess.h"
#include "tests/support/SettingsFixture.h"

// Names of sections and entries in any case; a value ends at a comment; a long value or section
// header is read whole; a malformed line or value is skipped.
TEST(SettingsStore, ReadsValuesPerSectionAndType) {
    const std::string longValue = "/mnt/" + std::string(900, 'x'), client = std::string(1100, 'c');
    SettingsFixture settings("[MediaAgent]\nsName = some text ; comment\nnCount=42\nnHex=0x1F\nbFlag=yes\n"
                             "this line is malformed\nnBad=12abc\nbBad=maybe\nsLong = " + longValue + " ; comment\n" +
                             std::string("sNul=/var/cache\0tail\n", 21) +
                             "[~Machines\\C" + client + "]\nnCount=7\nsLong=" + longValue + "\n[Other]\nnC=3\n");
    SettingsStore store = SettingsStore::current();
    EXPECT_TRUE(store.fileRead());
    EXPECT_EQ(store.getText("MediaAgent", "sName"), "some text");
    EXPECT_EQ(store.getInteger("mediaagent", "NCOUNT"), 42);
    EXPECT_EQ(store.getInteger("MediaAgent", "nHex"), 31);
    EXPECT_EQ(store.getBool("MediaAgent", "bFlag"), true);
    EXPECT_EQ(store.getInteger("~Machines\\c" + client, "nCount"), 7);
    EXPECT_EQ(store.getInteger("Other", "nC"), 3) << "the section after a long header";
    EXPECT_EQ(store.getText("MediaAgent", "sLong"), longValue);
    EXPECT_EQ(store.getText("~Machines\\c" + client, "sLong"), longValue);
    EXPECT_FALSE(store.getInteger("MediaAgent", "nBad").has_value());
    EXPECT_FALSE(store.getBool("MediaAgent", "bBad").has_value());
    EXPECT_FALSE(store.getText("MediaAgent", "sNul").has_value()) << "a NUL byte makes a line malformed";
    EXPECT_FALSE(store.getText("MediaAgent", "missing").has_value());
    EXPECT_FALSE(store.getText("Nowhere", "nCount").has_value());
    SettingsStore missing("/nonexistent/dir/file.ini");
    EXPECT_FALSE(missing.fileRead());
    EXPECT_FALSE(missing.getText("MediaAgent", "nCount").has_value());
}

// A writer killed half-way leaves its temporary file; the next writer removes those of this host
// whose process is gone, and leaves a running process's and another host's (those go by age).
TEST(SettingsStore, RewriteKeepsModeAndOwnerSweepsDeadWritersAndRefusesAFileItCannotRead) {
    SettingsFixture settings("[MediaAgent]\nsPassword=secret\n");
    const std::string& path = settings.configPath();
    const std::string host = TempNames::hostPart();
    const std::string dead = path + ".tmp." + host + ".999999999.0badf00d";
    const std::string live = path + ".tmp." + host + "." + std::to_string(getpid()) + ".0badf00d";
    const std::string other = path + ".tmp.otherhost.999999999.0badf00d";
    for (const std::string& name : {dead, live, other}) writeFileText(name, "[~MediaAgent]\nnHalf=");
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    const bool root = geteuid() == 0;
    ASSERT_EQ(root ? chown(path.c_str(), 4321, 4322) : 0, 0);
    const auto owner = ownerOf(path);
    ASSERT_TRUE(SettingsStore::setText(path, "~MediaAgent", "nA", "1"));
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_EQ(ownerOf(path), owner);
    EXPECT_FALSE(fileExists(dead));
    EXPECT_TRUE(fileExists(live) && fileExists(other));

    // Unreadable, not missing: nothing is written, and the other settings stay.
    const std::string before = readFileText(path);
    ASSERT_EQ(chmod(path.c_str(), 0200), 0);
    ASSERT_EQ(root ? chown(path.c_str(), 0, 0) : 0, 0);
    bool written = true;
    ASSERT_TRUE(runWithoutFileOverrides([&] { written = SettingsStore::setText(path, "~MediaAgent", "nB", "2"); }));
    EXPECT_FALSE(written);
    EXPECT_EQ(readFileText(path), before);
}

TEST(SettingsStore, SetTextReplacesTheEntryTheReaderReadsAndKeepsTheRest) {
    struct Case {
        const char* before;
        const char* section;
        const char* name;
        const char* value;
        const char* after;  // null: refused, the file unchanged
    };
    // A section name longer than any fixed buffer: the entry goes into it, not into the next.
    const std::string client = "~Machines\\" + std::string(60, 'c');
    const std::string longBefore = "[" + client + "]\nnB=2\n[Other]\n", longAfter = "[" + client + "]\nnB=2\nnD=4\n[Other]\n";
    for (const Case& c : {
             Case{"; top\n[~MediaAgent]\nnA=1\n\n[Other]\n", "~mediaagent", "NA", "2", "; top\n[~MediaAgent]\nNA=2\n\n[Other]\n"},
             Case{"[~MediaAgent]\nnA=1\n\n[Other]\n", "~MediaAgent", "nB", "3", "[~MediaAgent]\nnA=1\nnB=3\n\n[Other]\n"},
             Case{"[Other]\nx=y", "New\\Section", "v", "", "[Other]\nx=y\n\n[New\\Section]\nv=\n"},
             Case{"[A]\nx=1\nx=2\n", "A", "x", "9", "[A]\nx=1\nx=9\n"},
             Case{"[A]\nx=1\n[B]\nx=1\n[a]\nX = 2 ; old\n", "A", "x", "9", "[A]\nx=1\n[B]\nx=1\n[a]\nx=9\n"},
             Case{"[A]\ny=1\n[B]\n[a]\nz=1\n\n[C]\n", "a", "x", "9", "[A]\ny=1\n[B]\n[a]\nz=1\nx=9\n\n[C]\n"},
             Case{longBefore.c_str(), client.c_str(), "nD", "4", longAfter.c_str()},
             Case{"[A]\n", "A", "bad=name", "1", nullptr},
             Case{"[A]\n", "A", "#n", "1", nullptr},
             Case{"[A]\n", "A", "n", "two\nlines", nullptr},
             Case{"[A]\n", "A", "n", "cut ;here", nullptr},
             Case{"[A]\n", "A]", "n", "1", nullptr},
         }) {
        SCOPED_TRACE(c.before + std::string(" + ") + c.name);
        SettingsFixture settings(c.before);
        EXPECT_EQ(SettingsStore::setText(settings.configPath(), c.section, c.name, c.value), c.after != nullptr);
        EXPECT_EQ(readFileText(settings.configPath()), c.after != nullptr ? c.after : c.before);
        if (c.after != nullptr) {
            EXPECT_EQ(SettingsStore::current().getText(c.section, c.name), c.value);
        }
    }
    EXPECT_FALSE(SettingsStore::setText("/nonexistent/dir/file.ini", "S", "n", "1"));
}

TEST(SettingsStore, ConcurrentWritersLoseNothing) {
    SettingsFixture settings("[~MediaAgent]\n");
    HelperProcess a({"set_settings", settings.configPath(), "~MediaAgent", "nA", "1", "60"});
    HelperProcess b({"set_settings", settings.configPath(), "~MediaAgent", "nB", "2", "60"});
    ASSERT_EQ(a.wait() + b.wait(), 0);
    SettingsStore store = SettingsStore::current();
    for (int i = 0; i < 60; ++i) {
        EXPECT_EQ(store.getInteger("~MediaAgent", "nA" + std::to_string(i)), 1) << i;
        EXPECT_EQ(store.getInteger("~MediaAgent", "nB" + std::to_string(i)), 2) << i;
    }
}
