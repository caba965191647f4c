#include "Indexing/icommon/ShellOutput.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace {
// Prints length bytes of text as they are, at most the bytes a formatted text may have.
void writeShellText(const char* text, size_t length) {
    if (length > kShellBufSize - 1) length = kShellBufSize - 1;
    fwrite(text, 1, length, stdout);
    fflush(stdout);
}

// The quoted form of text. Unprintable bytes are written with hexDigits digits. The quoted
// text is printed as it is, so a percent sign needs no doubling.
void putQuoted(const char* text, bool fourDigits) {
    std::string quoted = "'";
    for (const char* p = text != nullptr ? text : ""; *p != '\0'; ++p) {
        const unsigned char byte = static_cast<unsigned char>(*p);
        if (byte >= 32 && byte <= 126) {
            quoted += static_cast<char>(byte);
        } else {
            char hex[8];
            if (fourDigits)
                snprintf(hex, sizeof hex, "\\x%04X", byte);
            else
                snprintf(hex, sizeof hex, "\\x%02X", byte);
            quoted += hex;
        }
    }
    quoted += '\'';
    writeShellText(quoted.data(), quoted.size());
}
}  // namespace

void shellprintf(const char* format, ...) {
    char buffer[kShellBufSize];
    va_list args;
    va_start(args, format);
    const int length = vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (length > 0) writeShellText(buffer, static_cast<size_t>(length));
}

void shellgets(char* line, size_t size) {
    if (line == nullptr || size == 0) return;
    size_t used = 0;
    for (int c = getchar(); c != EOF && c != '\n'; c = getchar())
        if (used + 1 < size) line[used++] = static_cast<char>(c);
    line[used] = '\0';
}

void shellgets(char* line) { shellgets(line, kShellLineSize); }

void shellputString(const char* text) { putQuoted(text, false); }

void __shellPutString(const char* text) { putQuoted(text, true); }
