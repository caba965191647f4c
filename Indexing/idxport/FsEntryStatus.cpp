#include "Indexing/idxport/FsEntryStatus.h"

#include <errno.h>
#include <sys/stat.h>
#include <time.h>

int fsEntryStatus(const char* path, FsEntryStatus& status) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    struct stat st {};
    if (lstat(path, &st) != 0) return -1;
    if (S_ISREG(st.st_mode))
        status.kind = FsEntryStatus::Kind::Regular;
    else if (S_ISDIR(st.st_mode))
        status.kind = FsEntryStatus::Kind::Directory;
    else if (S_ISLNK(st.st_mode))
        status.kind = FsEntryStatus::Kind::Link;
    else
        status.kind = FsEntryStatus::Kind::Other;
    status.modifiedNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return 0;
}

int64_t fsNowSeconds() { return static_cast<int64_t>(time(nullptr)); }
