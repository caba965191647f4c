// The status of one directory entry itself: a symbolic link is reported as a link and never
// followed, so that a caller deciding whether to read or delete a name in a shared directory
// sees what the name really is.
#pragma once

#include <cstdint>

struct FsEntryStatus {
    enum class Kind { Regular, Directory, Link, Other };
    Kind kind = Kind::Other;
    int64_t modifiedNs = 0;  // modification time, nanoseconds since 1970
    int64_t modifiedSeconds() const { return modifiedNs / 1000000000; }
    bool isRegular() const { return kind == Kind::Regular; }
};

// 0, or -1 with errno (EINVAL for a null path).
int fsEntryStatus(const char* path, FsEntryStatus& status);
// Seconds since 1970, now.
int64_t fsNowSeconds();
