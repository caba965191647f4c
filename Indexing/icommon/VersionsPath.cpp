#include "Indexing/icommon/VersionsPath.h"

#include <climits>
#include <cstring>

namespace {
constexpr size_t kMarkerLength = sizeof kVersionsMarker - 1;

// The decimal number at text; false when text does not start with a digit or the number does
// not fit. A sign or a blank is not a number here: "-1" must not turn into a huge version.
bool readVersion(const char* text, unsigned long& number) {
    if (*text < '0' || *text > '9') return false;
    unsigned long value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        unsigned long digit = static_cast<unsigned long>(*text - '0');
        if (value > (ULONG_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    number = value;
    return true;
}
}  // namespace

bool isVersionsPath(const char* path, std::vector<unsigned long>* versions) {
    if (path == nullptr || *path == '\0') return false;
    const char separator = path[0];
    // strncmp stops at the path's end, so a short path simply does not match.
    if (strncmp(path + 1, kVersionsMarker, kMarkerLength) != 0) return false;
    const char* rest = path + 1 + kMarkerLength;
    if (*rest != separator) return false;

    std::vector<unsigned long> local;
    std::vector<unsigned long>& found = versions != nullptr ? *versions : local;
    bool appended = false;
    for (const char* at = rest; at != nullptr; at = strchr(at + 1, separator)) {
        unsigned long number = 0;
        if (readVersion(at + 1, number)) {
            found.push_back(number);
            appended = true;
        }
    }
    return appended;
}
