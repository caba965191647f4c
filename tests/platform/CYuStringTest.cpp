#include <gtest/gtest.h>

#include "Platform/CYuString.h"

namespace {
using Fields = std::vector<std::string>;
// Tokenizes as the column sorter does: double quotes, backslash escapes.
Fields fields(const char* text, const char* separators = ",", bool keepEmpty = true) {
    std::vector<CYuString> tokens{CYuString("stale")};
    int n = CYuString(text).Tokenize(tokens, '"', '"', '\\', separators, keepEmpty);
    Fields out;
    for (const CYuString& t : tokens) out.push_back(t.c_str());
    EXPECT_EQ(n, static_cast<int>(out.size()));
    return out;
}
}  // namespace

TEST(CYuString, QuotesAndEscapesAndEmptyFieldsKeptOrCollapsedByTheFlag) {
    EXPECT_EQ(fields("a,\"b,c\",d"), (Fields{"a", "b,c", "d"}));
    EXPECT_EQ(fields("ab\"c,d\"e,f"), (Fields{"abc,de", "f"}));
    EXPECT_EQ(fields("a;b,c d", ",; "), (Fields{"a", "b", "c", "d"}));
    EXPECT_EQ(fields("a,\"b,c"), (Fields{"a", "b,c"})) << "an unterminated quote runs to the end";
    EXPECT_EQ(fields("x,y", nullptr), (Fields{"x,y"}));
    EXPECT_EQ(fields("a\\,b,c"), (Fields{"a,b", "c"}));
    EXPECT_EQ(fields("\"x\\\"y,z\",w"), (Fields{"x\"y,z", "w"}));
    EXPECT_EQ(fields("\\\"a,b"), (Fields{"\"a", "b"})) << "an escaped quote opens nothing";
    EXPECT_EQ(fields("a\\\\,b\\"), (Fields{"a\\", "b\\"})) << "a trailing escape stays";
    EXPECT_EQ(fields(",a,,b,"), (Fields{"", "a", "", "b", ""}));
    EXPECT_EQ(fields(""), (Fields{""}));
    EXPECT_EQ(fields("a,\"\",b"), (Fields{"a", "", "b"}));
    EXPECT_EQ(fields("  a  b ", " ", false), (Fields{"a", "b"}));
    EXPECT_EQ(fields(",,", ",", false), Fields{});
    EXPECT_EQ(fields("a \"\" b", " ", false), (Fields{"a", "", "b"})) << "a quoted empty field stays";
}
