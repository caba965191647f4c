#include <gtest/gtest.h>

#include "Platform/SettingsStore.h"
#include "tests/support/EventCapture.h"
#include "tests/support/HelperProcess.h"
#include "tests/support/SettingsFixture.h"

TEST(SettingsStore, ReadsValuesPerSectionAndType) {
    SettingsFixture settings(
        "[MediaAgent]\n"
        "sName = some text ; comment\n"
        "nCount=42\n"
        "nHex=0x1F\n"
        "bFlag=yes\n"
        "[~Machines\\Client1]\n"
        "nCount=7\n");
    SettingsStore store = SettingsStore::current();
    EXPECT_TRUE(store.fileRead());
    EXPECT_EQ(store.getText("MediaAgent", "sName"), "some text");
    EXPECT_EQ(store.getInteger("MediaAgent", "nCount"), 42);
    EXPECT_EQ(store.getInteger("mediaagent", "NCOUNT"), 42);
    EXPECT_EQ(store.getInteger("MediaAgent", "nHex"), 31);
    EXPECT_EQ(store.getBool("MediaAgent", "bFlag"), true);
    EXPECT_EQ(store.getInteger("~Machines\\client1", "nCount"), 7);
    EXPECT_FALSE(store.getText("MediaAgent", "missing").has_value());
    EXPECT_FALSE(store.getText("Nowhere", "nCount").has_value());
}

TEST(SettingsStore, BadInputGivesMissingValuesAndLogLines) {
    std::string longValue = "/mnt/" + std::string(900, 'x');
    SettingsFixture settings("[MediaAgent]\nthis line is malformed\nnBad=12abc\nbBad=maybe\nsLong = " + longValue +
                             " ; comment\nnGood=5\n[Other]\nsLong=" + longValue + "\n");
    EventCapture capture;
    SettingsStore store = SettingsStore::current();
    EXPECT_FALSE(store.getInteger("MediaAgent", "nBad").has_value());
    EXPECT_FALSE(store.getBool("MediaAgent", "bBad").has_value());
    EXPECT_EQ(store.getText("MediaAgent", "sLong"), longValue) << "a long value is read whole";
    EXPECT_EQ(store.getText("Other", "sLong"), longValue);
    EXPECT_EQ(store.getInteger("MediaAgent", "nGood"), 5);
    std::string all;
    for (const std::string& m : capture.debugMessages()) all += m;
    EXPECT_NE(all.find("malformed line 2"), std::string::npos) << all;
    EXPECT_NE(all.find("'12abc' is not a number"), std::string::npos) << all;

    SettingsStore missing("/nonexistent/dir/file.ini");
    EXPECT_FALSE(missing.fileRead());
    EXPECT_FALSE(missing.getText("MediaAgent", "nGood").has_value());
}

TEST(SettingsStore, SetTextKeepsOtherLinesAndReplacesInPlace) {
    SettingsFixture settings("; top comment\n[~MediaAgent]\nnA=1\n\n[Other]\nx=y\n");
    ASSERT_TRUE(SettingsStore::setText(settings.configPath(), "~mediaagent", "NA", "2"));
    ASSERT_TRUE(SettingsStore::setText(settings.configPath(), "~MediaAgent", "nB", "3"));
    ASSERT_TRUE(SettingsStore::setText(settings.configPath(), "New\\Section", "v", "4"));
    EXPECT_EQ(readFileText(settings.configPath()),
              "; top comment\n[~MediaAgent]\nNA=2\nnB=3\n\n[Other]\nx=y\n\n[New\\Section]\nv=4\n");
    EXPECT_FALSE(SettingsStore::setText(settings.configPath(), "S", "bad=name", "1"));
    EXPECT_FALSE(SettingsStore::setText(settings.configPath(), "S", "n", "two\nlines"));
    EXPECT_FALSE(SettingsStore::setText("/nonexistent/dir/file.ini", "S", "n", "1"));
}

TEST(SettingsStore, ConcurrentWritersLoseNothing) {
    SettingsFixture settings("[~MediaAgent]\n");
    HelperProcess a({"set_settings", settings.configPath(), "~MediaAgent", "nA", "1", "60"});
    HelperProcess b({"set_settings", settings.configPath(), "~MediaAgent", "nB", "2", "60"});
    a.closeInput();
    b.closeInput();
    ASSERT_EQ(a.wait(), 0);
    ASSERT_EQ(b.wait(), 0);
    SettingsStore store = SettingsStore::current();
    for (int i = 0; i < 60; ++i) {
        EXPECT_EQ(store.getInteger("~MediaAgent", "nA" + std::to_string(i)), 1) << i;
        EXPECT_EQ(store.getInteger("~MediaAgent", "nB" + std::to_string(i)), 2) << i;
    }
}
