#include <gtest/gtest.h>
#include <stdlib.h>

#include "Platform/LocalCodePage.h"
#include "tests/support/SettingsFixture.h"

namespace {
struct LocalEncoding : ::testing::Test {
    void SetUp() override { TearDown(); }
    void TearDown() override {
        for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) unsetenv(name);
    }
    SettingsFixture settings;
};
}  // namespace

TEST_F(LocalEncoding, CharsetFromTheSettingElseTheLocale) {
    EXPECT_EQ(LocalCodePage::charset(), "ANSI_X3.4-1968") << "no locale named: the C locale";
    setenv("LANG", "C.UTF-8", 1);
    EXPECT_EQ(LocalCodePage::charset(), "UTF-8");
    setenv("LC_CTYPE", "C", 1);
    EXPECT_EQ(LocalCodePage::charset(), "ANSI_X3.4-1968") << "LC_CTYPE before LANG";
    setenv("LC_ALL", "xx_YY.ISO-8859-15@euro", 1);
    EXPECT_EQ(LocalCodePage::charset(), "ISO-8859-15") << "LC_ALL first; a locale not installed tells its set by name";
    settings.write("[Platform]\nLocalCodePage=NO-SUCH-SET\n");
    EXPECT_EQ(LocalCodePage::charset(), "NO-SUCH-SET") << "the setting before the locale";
    std::wstring wide = L"x";
    EXPECT_EQ(LocalCodePage::toWide("a", wide, 10), EINVAL);
    EXPECT_TRUE(wide.empty());

    // Limits and shift states.
    settings.write("[Platform]\nLocalCodePage=ISO-2022-JP\n");
    std::string local;
    EXPECT_EQ(LocalCodePage::fromWide(L"\u3042", local, 8), 0);
    EXPECT_EQ(local, "\x1B$B$\"\x1B(B") << "the way back to the initial state belongs to the text";
    EXPECT_EQ(LocalCodePage::fromWide(L"\u3042", local, 7), E2BIG);
    EXPECT_EQ(LocalCodePage::toWide("a\x1B$B$\"", wide, 2), 0);
    EXPECT_EQ(wide, L"a\u3042");
    EXPECT_EQ(LocalCodePage::toWide("a\x1B$B$\"", wide, 1), E2BIG);
    EXPECT_TRUE(wide.empty());
    settings.write("[Platform]\nLocalCodePage=UTF-8\n");
    EXPECT_EQ(LocalCodePage::toWide("ab\xC3", wide, 8), EINVAL) << "a sequence cut short";
}
