// The process's local (ANSI) code page and conversions between its bytes and wide text
// (wchar_t, one UTF-32 code unit per character), through iconv.
//
// The local character set is, in this order:
//  1. the setting [Platform] LocalCodePage of the instance's settings file, an iconv name such
//     as "ISO-8859-1" or "UTF-8", when it is present and not empty;
//  2. the character set of the locale that the environment names for character types
//     (LC_ALL, else LC_CTYPE, else LANG, as for setlocale(LC_CTYPE, "")). The locale is looked
//     up with newlocale / nl_langinfo_l, so the process's own locale is never changed. A locale
//     that is not installed gives the character set written in its name ("xx_YY.CHARSET@mod");
//  3. otherwise that of the C locale, "ANSI_X3.4-1968" (ASCII).
// The setting and the environment are read on every call.
//
// Both conversions are strict: a byte sequence that is not a character of the local set, a
// sequence cut short at the end, or a character that the local set cannot hold is an error,
// never replaced by a default character.
#pragma once

#include <cstddef>
#include <string>

class LocalCodePage {
public:
    // The iconv name of the local character set, chosen as described above.
    static std::string charset();

    // Converts text from the local character set. Returns 0 with out holding at most maxChars
    // characters, or an errno value with out empty: EILSEQ (not a character of the local set),
    // EINVAL (a sequence cut short at the end, a null text, or a character set iconv does not
    // know), E2BIG (more than maxChars characters).
    static int toWide(const char* text, std::wstring& out, size_t maxChars);

    // Converts wide text to the local character set. Returns 0 with out holding at most
    // maxBytes bytes, or an errno value with out empty: EILSEQ (a character the local set
    // cannot hold), EINVAL (a null text or an unknown character set), E2BIG (more than maxBytes
    // bytes).
    static int fromWide(const wchar_t* text, std::string& out, size_t maxBytes);
};
