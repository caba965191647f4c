#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "Platform/CYuUTFOSAPI.h"
#include "Platform/EventJournal.h"

namespace {
// Reads the JSON string that starts after prefix in line (UTF-8 already) as a strict reader would
// (surrogates only in pairs, no raw control characters) and gives back the bytes it stands for,
// as docs/events.md says: U+10FE80..U+10FEFF is the byte it ends in, other characters their
// UTF-8. (The journal escapes no other character above U+007F, so none is expected here.)
std::optional<std::string> decodedString(const std::string& line, const std::string& prefix) {
    size_t i = line.find(prefix);
    if (i == std::string::npos) return std::nullopt;
    i += prefix.size();
    const std::string simple = "\"\\/bfnrt", meaning = "\"\\/\b\f\n\r\t";
    const auto hex4 = [&](size_t at) { return static_cast<uint32_t>(std::stoul(line.substr(at, 4), nullptr, 16)); };
    std::string out;
    while (i < line.size() && line[i] != '"') {
        if (static_cast<unsigned char>(line[i]) < 0x20) return std::nullopt;
        if (line[i] != '\\') {
            out += line[i++];
        } else if (i + 1 < line.size() && simple.find(line[i + 1]) != std::string::npos) {
            out += meaning[simple.find(line[i + 1])];
            i += 2;
        } else if (line.compare(i, 2, "\\u") == 0 && i + 6 <= line.size() && hex4(i + 2) < 0x80) {
            out += static_cast<char>(hex4(i + 2));
            i += 6;
        } else if (line.compare(i, 2, "\\u") == 0 && i + 12 <= line.size() && hex4(i + 2) == 0xDBFF &&
                   line.compare(i + 6, 2, "\\u") == 0 && hex4(i + 8) >= 0xDE80 && hex4(i + 8) <= 0xDEFF) {
            out += static_cast<char>(hex4(i + 8) - 0xDE00);  // U+10FE00 + byte
            i += 12;
        } else {
            return std::nullopt;
        }
    }
    if (i >= line.size()) return std::nullopt;
    return out;
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
        debug.function = text;
        debug.message = text;
        const std::string line = EventJournal::toJsonLine(debug);
        std::wstring strict;  // the conversion refuses what is not strict UTF-8
        EXPECT_TRUE(line.find('\0') == std::string::npos && !CYuUTFOSAPI::UTF8ToLocalEncoding(line.c_str(), strict).IsErrorSet())
            << "the line is UTF-8";
        EXPECT_EQ(decodedString(line, "\"message\":\""), text);
        EXPECT_EQ(decodedString(line, "\"function\":\""), text);
        EXPECT_EQ(decodedString(line, "\"program\":\""), std::string("prog\xE9"));

        JournalRecord event;
        event.kind = "event";
        event.args = {JournalArg::ofSigned(-1), JournalArg::ofText(text.c_str())};
        // A streamed text is a C string: it ends at its first '\0'.
        EXPECT_EQ(decodedString(EventJournal::toJsonLine(event), "\"args\":[-1,\""), text.substr(0, text.find('\0')));
    }
}
