#include "Platform/KrTime.h"

#include <stdio.h>

namespace {
const char kEmpty[] = "";

void clear(char* buffer, size_t size) {
    if (buffer != nullptr && size > 0) buffer[0] = '\0';
}

// True when the whole text (terminator included) went into the buffer; otherwise the buffer
// is emptied so that a cut time stamp is never shown.
bool fits(int written, char* buffer, size_t size) {
    if (written >= 0 && static_cast<size_t>(written) < size) return true;
    clear(buffer, size);
    return false;
}
}  // namespace

const char* KrTime(time_t time, char* buffer, size_t size, bool withDate) {
    if (buffer == nullptr || size == 0) return kEmpty;
    struct tm local {};
    if (localtime_r(&time, &local) == nullptr) {
        clear(buffer, size);
        return buffer;
    }
    int written = withDate ? snprintf(buffer, size, "%04lld/%02d/%02d %02d:%02d:%02d", local.tm_year + 1900LL,
                                      local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec)
                           : snprintf(buffer, size, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
    fits(written, buffer, size);
    return buffer;
}

char* KR_ctime(const time_t* time, char* buffer, size_t size) {
    static const char days[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char months[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (time == nullptr || buffer == nullptr || size == 0) {
        clear(buffer, size);
        return nullptr;
    }
    struct tm local {};
    if (localtime_r(time, &local) == nullptr || local.tm_wday < 0 || local.tm_wday > 6 || local.tm_mon < 0 ||
        local.tm_mon > 11) {
        clear(buffer, size);
        return nullptr;
    }
    int written = snprintf(buffer, size, "%s %s %2d %02d:%02d:%02d %lld\n", days[local.tm_wday],
                           months[local.tm_mon], local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                           local.tm_year + 1900LL);
    return fits(written, buffer, size) ? buffer : nullptr;
}
