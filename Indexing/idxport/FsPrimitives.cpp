#include "Indexing/idxport/FsPrimitives.h"

#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

int fsRename(const char* from, const char* to) {
    if (from == nullptr || to == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return rename(from, to) == 0 ? 0 : -1;
}

int fsRmdir(const char* path) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return rmdir(path) == 0 ? 0 : -1;
}

int fsUnlink(const char* path) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return unlink(path) == 0 ? 0 : -1;
}

int fsMkdir(const char* path, int mode) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return mkdir(path, static_cast<mode_t>(mode)) == 0 ? 0 : -1;
}

bool fsExists(const char* path) {
    if (path == nullptr) {
        errno = EINVAL;
        return false;
    }
    struct stat st {};
    return lstat(path, &st) == 0;
}

bool fsIsDirectory(const char* path) {
    if (path == nullptr) {
        errno = EINVAL;
        return false;
    }
    struct stat st {};
    if (stat(path, &st) != 0) return false;
    if (S_ISDIR(st.st_mode)) return true;
    errno = 0;
    return false;
}

int fsAccessExists(const char* path) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return access(path, F_OK);
}

int fsModificationTime(const char* path, uint32_t& seconds) {
    struct stat st {};
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (stat(path, &st) != 0) return -1;
    seconds = static_cast<uint32_t>(st.st_mtime);
    return 0;
}
