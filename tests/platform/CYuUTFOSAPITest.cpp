#include <errno.h>
#include <gtest/gtest.h>

#include "Platform/CYuUTFOSAPI.h"

TEST(CYuUTFOSAPI, RoundTripsThroughEveryLengthAndRefusesInvalidInputWithNoOutput) {
    const std::pair<std::wstring, std::string> cases[] = {
        {L"", ""},
        {L"caf\u00e9", "caf\xC3\xA9"},
        {L"\U0001F600!", "\xF0\x9F\x98\x80!"},
        {{0x7F, 0x80, 0x7FF, 0x800}, "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80"},
        {{0xD7FF, 0xE000, 0xFFFF}, "\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF"},
        {{0x10000, 0x10FFFF}, "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
    };
    for (const auto& [wide, utf8] : cases) {
        std::string out;
        EXPECT_FALSE(CYuUTFOSAPI::LocalEncodingToUTF8(wide.c_str(), out).IsErrorSet());
        EXPECT_EQ(out, utf8);
        std::wstring back;
        EXPECT_FALSE(CYuUTFOSAPI::UTF8ToLocalEncoding(utf8.c_str(), back).IsErrorSet());
        EXPECT_EQ(back, wide);
    }
    // Invalid input is an error with no output.
    // Lone surrogates, a UTF-16 pair (not UTF-32), values above U+10FFFF.
    const std::wstring badWide[] = {{L'a', 0xD800}, {0xDC00}, {0xD83D, 0xDE00}, {0x110000}, {L'\xFFFFFFFF'}};
    for (const std::wstring& text : badWide) {
        std::string out = "stale";
        EXPECT_EQ(CYuUTFOSAPI::LocalEncodingToUTF8(text.c_str(), out).code(), EILSEQ);
        EXPECT_TRUE(out.empty());
    }
    // Stray continuation, truncations, overlongs, an encoded surrogate, above U+10FFFF, bad leads.
    const char* badUtf8[] = {"\x80",         "ab\xC3",       "\xC3(",        "\xE2\x82",
                             "\xC0\xAF",     "\xE0\x80\xAF", "\xF0\x8F\xBF\xBF", "\xED\xA0\x80",
                             "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF"};
    for (const char* text : badUtf8) {
        std::wstring out = L"stale";
        CYuError error = CYuUTFOSAPI::UTF8ToLocalEncoding(text, out);
        EXPECT_EQ(error.code(), EILSEQ) << ::testing::PrintToString(std::string(text));
        EXPECT_TRUE(error.IsErrorSet() && out.empty());
    }
    std::wstring out;
    EXPECT_NE(CYuUTFOSAPI::UTF8ToLocalEncoding("ok\xC3", out).ConvertToString().find("offset 2"), std::string::npos);
    EXPECT_EQ(CYuUTFOSAPI::UTF8ToLocalEncoding(nullptr, out).code(), EINVAL);
}
