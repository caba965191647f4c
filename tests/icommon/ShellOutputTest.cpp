#include <gtest/gtest.h>

#include <cstring>

#include "Indexing/icommon/ShellOutput.h"
#include "tests/support/StreamRedirect.h"
#include "tests/support/TempDir.h"

TEST(Shell, QuotingPrintersAndPrintf) {
    TempDir dir;
    auto printed = [&](auto fn) {
        withStreamAt(1, dir.file("out"), fn);
        return readFileText(dir.file("out"));
    };
    const char text[] = "a%b\x07\xE9";
    EXPECT_EQ(printed([&] { shellputString(text); }), "'a%b\\x07\\xE9'");
    EXPECT_EQ(printed([&] { __shellPutString(text); }), "'a%b\\x0007\\x00E9'");
    EXPECT_EQ(printed([] { shellputString("%s%n%%"); }), "'%s%n%%'") << "the text is never a format";
    EXPECT_EQ(printed([] { shellputString(nullptr); }), "''");
    EXPECT_EQ(printed([] { shellprintf("%d-%s%%", 5, "x"); }), "5-x%");
    const std::string big(50000, 'x');
    EXPECT_EQ(printed([&] { shellprintf("%s", big.c_str()); }), std::string(40959, 'x')) << "cut to the buffer";
}

TEST(Shell, GetsKeepsWhatFitsAndDropsTheRestOfTheLine) {
    TempDir dir;
    writeFileText(dir.file("in"), std::string(2000, 'a') + "\nnext\nabcdefg\nlast");
    withStreamAt(0, dir.file("in"), [] {
        char line[1024 + 16], small[4];
        memset(line, '#', sizeof line);
        shellgets(line);
        EXPECT_EQ(std::string(line), std::string(1023, 'a'));
        EXPECT_EQ(std::string(line + 1024, 16), std::string(16, '#')) << "nothing written past 1024 bytes";
        shellgets(line);
        EXPECT_STREQ(line, "next") << "the rest of the long line was dropped";
        shellgets(small, sizeof small);
        EXPECT_STREQ(small, "abc");
        shellgets(line);
        EXPECT_STREQ(line, "last") << "a last line without newline";
        shellgets(line);
        EXPECT_STREQ(line, "") << "end of input";
    });
}
