// Console output and input for interactive tools, and two printers that quote a string which
// may hold unprintable bytes. Everything goes to standard output and comes from standard input;
// output is flushed at once, so a prompt shows before the next read.
#pragma once

#include <cstddef>

#include "Platform/EvDebug.h"

// The longest text one call prints, terminator included: longer output is cut to 40959 bytes.
constexpr size_t kShellBufSize = 40960;
// The buffer that shellgets (line) assumes, terminator included.
constexpr size_t kShellLineSize = 1024;

// Formats and prints the text (it is not used as a format a second time).
void shellprintf(const char* format, ...) VORNICA_PRINTF(1, 2);

// Reads one line from standard input into line, without its newline; line is empty at the end
// of input. At most size - 1 bytes are kept; the rest of a longer line is read and dropped, so
// the next call starts at the next line. A null line or a size of 0 reads nothing.
void shellgets(char* line, size_t size);
// As above with a buffer of kShellLineSize bytes: line must hold at least 1024 bytes, and a
// line of more than 1023 bytes is cut there.
void shellgets(char* line);

// Prints text between single quotes: bytes 32 to 126 as they are, every other byte as \xHH
// (two upper-case hexadecimal digits). A null text prints as the empty text.
void shellputString(const char* text);
// The same with four hexadecimal digits for an unprintable byte (\x00E9).
void __shellPutString(const char* text);
