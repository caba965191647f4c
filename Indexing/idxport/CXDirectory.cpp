#include "Indexing/idxport/CXDirectory.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "Indexing/idxport/CXCopyFile.h"
#include "Indexing/idxport/CXFile.h"

namespace {
DIR* stream(void* search) { return static_cast<DIR*>(search); }

// A component of the path that is not a directory means the path does not exist.
int mapNotFound(int error) { return error == ENOTDIR ? kErrNotFound : error; }
}  // namespace

CXDirectory::CXDirectory() { setDebugPrefix("DIRECTORY"); }

CXDirectory::~CXDirectory() { close(); }

bool CXDirectory::isDotOrDotDot(const char* name) {
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

bool CXDirectory::isExcepted(const char* name, const char* except) {
    return except != nullptr && strcasecmp(name, except) == 0;
}

// Reads the next entry into the entry record. False at the end (last error 0) or on failure.
bool CXDirectory::fetch() {
    errno = 0;
    struct dirent* d = readdir(stream(search_));
    if (d == nullptr) {
        lastError_ = errno;
        return false;
    }
    snprintf(entry_.name, sizeof entry_.name, "%s", d->d_name);
    entry_.type = d->d_type;
    return true;
}

int CXDirectory::open(const char* dirname) {
    if (dirname == nullptr || *dirname == '\0') {
        lastError_ = kErrWrongState;
        debug(1, "open: dirname is a null string\n");
        return -1;
    }
    if (openFlag_ != 0) close();
    emptyFlag_ = 0;
    // opendir takes the name with or without its trailing separator alike. The first entry is
    // read by the first read, like every other.
    DIR* d = opendir(dirname);
    if (d != nullptr) {
        search_ = d;
        openFlag_ = 1;
        name_ = dirname;
        lastError_ = 0;
        return 0;
    }
    const int error = mapNotFound(errno);
    struct stat st;
    // The name vanished and came back as a directory between the two looks: nothing was listed,
    // so there is nothing to walk. A directory we may not list (EACCES) is a failure, never an
    // empty directory: a copy or removal would otherwise report success over entries it never saw.
    if (error == kErrNotFound && stat(dirname, &st) == 0 && S_ISDIR(st.st_mode)) {
        emptyFlag_ = 1;
        openFlag_ = 1;
        name_ = dirname;
        lastError_ = 0;
        return 0;
    }
    lastError_ = error;
    debug(1, "open: FindFirstFile %s failed, errno %d\n", dirname, error);
    return -1;
}

char* CXDirectory::read() {
    if (openFlag_ == 0) {
        lastError_ = kErrWrongState;
        debug(1, "read: not open\n");
        return nullptr;
    }
    if (emptyFlag_ != 0 || search_ == nullptr) {
        lastError_ = 0;
        return nullptr;
    }
    if (fetch()) return entry_.name;
    if (lastError_ != 0) debug(1, "read: FindNextFile failed, code %d\n", lastError_);
    return nullptr;
}

int CXDirectory::close() {
    if (openFlag_ == 0) return 0;
    int result = 0;
    if (search_ != nullptr && closedir(stream(search_)) != 0) {
        lastError_ = errno;
        result = -1;
    }
    // closedir releases the stream even when it reports an error.
    search_ = nullptr;
    openFlag_ = 0;
    return result;
}

bool CXDirectory::composePath(char* buffer, const char* dir, const char* name) {
    const size_t dirLength = strlen(dir);
    const bool hasSep = dirLength > 0 && dir[dirLength - 1] == kPathSep;
    const int length = hasSep ? snprintf(buffer, kPathBufSize, "%s%s", dir, name)
                              : snprintf(buffer, kPathBufSize, "%s%c%s", dir, kPathSep, name);
    if (length < 0 || static_cast<size_t>(length) >= kPathBufSize) {
        lastError_ = ENAMETOOLONG;
        debug(1, "cannot compose the path of '%s' in '%s': longer than %zu characters\n", name, dir,
              kPathBufSize - 1);
        return false;
    }
    return true;
}

// Called after mkdir failed: accepts an existing directory, else keeps mkdir's error.
bool CXDirectory::existingDirectory(const char* path) {
    lastError_ = errno;
    struct stat st;
    if (lastError_ != EEXIST || stat(path, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    lastError_ = 0;
    return true;
}

// The type readdir gave, or lstat's when the file system gives none. A symbolic link is not a
// directory, whatever it points to.
bool CXDirectory::entryIsDirectory(const char* path) const {
    if (entry_.type != DT_UNKNOWN) return entry_.type == DT_DIR;
    struct stat st;
    return lstat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

int CXDirectory::copyFiles(const char* toDir, const char* except, bool ignoreCopyError) {
    if (openFlag_ == 0 || toDir == nullptr) {
        lastError_ = kErrWrongState;
        debug(1, "copyFiles to %s attempted before open\n", toDir != nullptr ? toDir : "NULL");
        return -1;
    }
    if (emptyFlag_ != 0) return 0;
    char from[kPathBufSize];
    char to[kPathBufSize];
    const char* name;
    while ((name = read()) != nullptr) {
        if (isDotOrDotDot(name) || isExcepted(name, except)) continue;
        if (!composePath(from, name_.c_str(), name) || !composePath(to, toDir, name)) return -1;
        if (recursion_ && entryIsDirectory(from)) {
            if (mkdir(to, 0777) != 0 && !existingDirectory(to)) {
                debug(1, "createCopy: cannot mkdir %s (errno %d)\n", toDir, lastError_);
                return -1;
            }
            CXDirectory nested;
            nested.setRecursion(true);
            if (nested.open(from) != 0) {
                lastError_ = nested.getLastError();
                debug(1, "createCopy: cannot open '%s', code %d", from, lastError_);
                return -1;
            }
            if (nested.copyFiles(to, except) != 0) {
                lastError_ = nested.getLastError();
                debug(1, "createCopy: cannot copy '%s' to '%s', code %d", from, to, lastError_);
                return -1;
            }
            continue;
        }
        if (CXCopyFile(from, to, &lastError_) != 0) {
            if (!ignoreCopyError) {
                debug(1, "copyFiles cannot copy '%s' to '%s', code %d\n", from, to, lastError_);
                return -1;
            }
            debug(1, "copyFiles cannot copy '%s' to '%s', code %d. Ignore copy error and continue.\n", from, to,
                  lastError_);
        }
    }
    if (lastError_ == 0) return 0;
    debug(1, "copyFiles %s to %s directory read failed\n", name_.c_str(), toDir);
    return -1;
}

int CXDirectory::removeFiles(const char* except) {
    if (openFlag_ == 0) {
        lastError_ = kErrWrongState;
        debug(1, "removeFiles attempted before open\n");
        return -1;
    }
    debug(1, "removeFiles from %s (except %s)\n", name_.c_str(), except != nullptr ? except : "NULL");
    if (emptyFlag_ != 0) return 0;
    char path[kPathBufSize];
    const char* name;
    while ((name = read()) != nullptr) {
        if (isDotOrDotDot(name) || isExcepted(name, except)) continue;
        if (!composePath(path, name_.c_str(), name)) return -1;
        if (recursion_ && entryIsDirectory(path)) {
            {
                CXDirectory nested;
                nested.setRecursion(true);
                if (nested.open(path) != 0) {
                    lastError_ = nested.getLastError();
                    debug(1, "removeFiles: cannot open '%s', code %d", path, lastError_);
                    return -1;
                }
                if (nested.removeFiles(except) != 0) {
                    lastError_ = nested.getLastError();
                    debug(1, "removeFiles: cannot remove '%s', code %d", path, lastError_);
                    return -1;
                }
            }
            if (rmdir(path) != 0) {
                lastError_ = errno;
                debug(1, "removeFiles rmdir %s failed, errno %d\n", path, lastError_);
                return -1;
            }
            continue;
        }
        if (unlink(path) != 0) {
            lastError_ = errno;
            debug(1, "removeFiles unlink %s failed, errno %d\n", path, lastError_);
            return -1;
        }
    }
    if (lastError_ == 0) return 0;
    debug(1, "removeFiles directory read failed\n");
    return -1;
}

int64_t CXDirectory::sumSizes() {
    if (openFlag_ == 0) {
        lastError_ = kErrWrongState;
        debug(1, "sumSizes attempted before open\n");
        return -1;
    }
    if (emptyFlag_ != 0) return 0;
    int64_t total = 0;
    char path[kPathBufSize];
    const char* name;
    while ((name = read()) != nullptr) {
        if (isDotOrDotDot(name)) continue;
        if (!composePath(path, name_.c_str(), name)) return -1;
        if (recursion_ && entryIsDirectory(path)) {
            CXDirectory nested;
            nested.setRecursion(true);
            if (nested.open(path) != 0) {
                lastError_ = nested.getLastError();
                debug(1, "sumSizes: cannot open '%s', code %d", path, lastError_);
                return -1;
            }
            const int64_t size = nested.sumSizes();
            if (size < 0) {
                lastError_ = nested.getLastError();
                debug(1, "cannot sum size of '%s', code %d", path, lastError_);
                return -1;
            }
            total += size;
            continue;
        }
        // A pipe holds no data on disk, and opening one would wait for a writer.
        if (entry_.type == DT_FIFO) continue;
        CXFile file;
        if (file.open(path, sfReadOnly) != 0) {
            lastError_ = file.getLastError();
            debug(1, "sumSizes open %s failed, code %d\n", path, lastError_);
            return -1;
        }
        if (file.seek(0, sfSeekEnd) != 0) {
            lastError_ = file.getLastError();
            debug(1, "sumSizes seek to end for %s failed, code %d\n", path, lastError_);
            return -1;
        }
        total += file.getCurOffset();
        file.close();
    }
    if (lastError_ == 0) return total;
    debug(1, "sumSizes directory read failed\n");
    return -1;
}

int CXDirectory::findFileByPattern(const char* pattern, std::string& path, int) {
    if (openFlag_ == 0) {
        lastError_ = kErrWrongState;
        debug(1, "ERROR: findFileByPattern() try to find file before open\n");
        return -1;
    }
    if (emptyFlag_ != 0 || pattern == nullptr) return 1;
    const char* name;
    while ((name = read()) != nullptr) {
        if (strstr(name, pattern) == nullptr) continue;
        path = name_;
        if (path.empty() || path.back() != kPathSep) path += kPathSep;
        path += name;
        return 0;
    }
    if (lastError_ == 0) return 1;
    debug(1, "findFileByPattern() '%s' - directory read failed\n", pattern);
    return -1;
}

int CXDirectory::getFreeSpace(const char* path, uint64_t* availableKB, uint64_t* totalKB, unsigned long* blockSize) {
    if (path == nullptr || *path == '\0' || availableKB == nullptr || totalKB == nullptr || blockSize == nullptr) {
        lastError_ = kErrWrongState;
        debug(1, "getFreeSpace: no path or no place for the result\n");
        return -1;
    }
    // A network share is a mounted file system here: every path is queried exactly as given.
    struct statvfs vfs;
    if (statvfs(path, &vfs) != 0) {
        lastError_ = mapNotFound(errno);
        debug(1, "getFreeSpace: statvfs %s failed, errno %d\n", path, lastError_);
        return -1;
    }
    const uint64_t available = uint64_t(vfs.f_bavail) * vfs.f_frsize;
    const uint64_t total = uint64_t(vfs.f_blocks) * vfs.f_frsize;
    const uint64_t totalFree = uint64_t(vfs.f_bfree) * vfs.f_frsize;
    // The blocks reserved for the superuser make these differ on most volumes: a detail.
    if (available != totalFree)
        debug(0x8000, "GetDiskFreeSpaceEx freeBytesAvailable %" PRIu64 " != totalFreeBytes %" PRIu64 "\n", available,
              totalFree);
    *availableKB = available / kBlockSize;
    *totalKB = total / kBlockSize;
    *blockSize = kBlockSize;
    return 0;
}

int CXDirectory::getFreeSpaceKRMA(const char* path, uint64_t* availableKB, uint64_t* totalKB,
                                  unsigned long* blockSize) {
    if (getFreeSpace(path, availableKB, totalKB, blockSize) == 0) return 0;
    if (availableKB != nullptr) *availableKB = 0;
    if (totalKB != nullptr) *totalKB = 0;
    return -1;
}
