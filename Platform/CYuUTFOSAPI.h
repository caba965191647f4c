// Conversions between the platform's wide text and UTF-8.
//
// Wide text here is wchar_t, one UTF-32 code unit per character (glibc). Both directions are
// strict: a code point above U+10FFFF or in the surrogate range D800-DFFF, and any malformed
// UTF-8 (a stray continuation byte, a truncated sequence, an overlong form, an encoded
// surrogate, a value above U+10FFFF, the bytes C0, C1, F5-FF) is an error, never replaced.
// On error the returned CYuError holds EILSEQ (EINVAL for a null text) and a text naming the
// offending position, and out is left empty.
#pragma once

#include <string>

#include "Platform/CYuError.h"

class CYuUTFOSAPI {
public:
    static CYuError LocalEncodingToUTF8(const wchar_t* text, std::string& out);
    static CYuError UTF8ToLocalEncoding(const char* text, std::wstring& out);
};
