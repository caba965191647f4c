#include "Platform/CYuUTFOSAPI.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>

#include <cstdint>

namespace {
bool isScalarValue(uint32_t cp) { return cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF); }

CYuError badInput(const char* format, ...) __attribute__((format(printf, 1, 2)));
CYuError badInput(const char* format, ...) {
    char text[128];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return CYuError(EILSEQ, text);
}
}  // namespace

CYuError CYuUTFOSAPI::LocalEncodingToUTF8(const wchar_t* text, std::string& out) {
    out.clear();
    if (text == nullptr) return CYuError(EINVAL, "null text");
    std::string result;
    for (size_t i = 0; text[i] != L'\0'; ++i) {
        uint32_t cp = static_cast<uint32_t>(text[i]);
        if (!isScalarValue(cp))
            return badInput("invalid character U+%04X at position %zu", static_cast<unsigned>(cp), i);
        if (cp < 0x80) {
            result += static_cast<char>(cp);
        } else if (cp < 0x800) {
            result += static_cast<char>(0xC0 | (cp >> 6));
            result += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            result += static_cast<char>(0xE0 | (cp >> 12));
            result += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            result += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            result += static_cast<char>(0xF0 | (cp >> 18));
            result += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            result += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            result += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    out = std::move(result);
    return CYuError();
}

CYuError CYuUTFOSAPI::UTF8ToLocalEncoding(const char* text, std::wstring& out) {
    out.clear();
    if (text == nullptr) return CYuError(EINVAL, "null text");
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    std::wstring result;
    for (size_t i = 0; bytes[i] != 0;) {
        const unsigned char lead = bytes[i];
        if (lead < 0x80) {
            result += static_cast<wchar_t>(lead);
            ++i;
            continue;
        }
        size_t length;
        uint32_t cp;
        uint32_t minimum;  // the smallest value that needs this many bytes: below it is overlong
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2, cp = lead & 0x1F, minimum = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3, cp = lead & 0x0F, minimum = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4, cp = lead & 0x07, minimum = 0x10000;
        } else {
            return badInput("invalid UTF-8 byte 0x%02X at offset %zu", static_cast<unsigned>(lead), i);
        }
        // A terminator inside the sequence fails the continuation test, so reading stops there.
        for (size_t k = 1; k < length; ++k) {
            unsigned char next = bytes[i + k];
            if ((next & 0xC0) != 0x80)
                return badInput("truncated UTF-8 sequence (lead byte 0x%02X) at offset %zu", static_cast<unsigned>(lead), i);
            cp = (cp << 6) | (next & 0x3F);
        }
        if (cp < minimum) return badInput("overlong UTF-8 sequence for U+%04X at offset %zu", static_cast<unsigned>(cp), i);
        if (!isScalarValue(cp)) return badInput("UTF-8 sequence encodes invalid U+%04X at offset %zu", static_cast<unsigned>(cp), i);
        result += static_cast<wchar_t>(cp);
        i += length;
    }
    out = std::move(result);
    return CYuError();
}
