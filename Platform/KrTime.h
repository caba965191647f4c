// Time stamps for log lines, in local time. Both functions write into the caller's buffer and
// never past its size; neither depends on the process locale (day and month names are English,
// as ctime gives them).
#pragma once

#include <stddef.h>
#include <time.h>

// "2026/12/06 06:43:31" when withDate is true, "06:43:31" when it is false.
// Returns buffer. When the buffer is null or too small, or the time cannot be converted, the
// result is the empty text (in buffer when it has room for the terminator, otherwise a constant
// empty string), so that the result can always be printed with "%s".
const char* KrTime(time_t time, char* buffer, size_t size, bool withDate);

// The ctime form, "Sun Dec  6 06:43:31 2026\n" (26 bytes with the terminator for four-digit
// years). Returns buffer, or null when time or buffer is null, the buffer is too small, or the
// time cannot be converted; buffer then holds the empty text when it has room for it.
char* KR_ctime(const time_t* time, char* buffer, size_t size);
