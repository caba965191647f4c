#include "Indexing/idxport/CXDirectory.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "Indexing/idxport/CXCopyFile.h"
#include "Platform/SysCalls.h"

namespace {
std::function<void(const char*)> descendHook;

// A component of the path that is not a directory means the path does not exist.
int mapNotFound(int error) { return error == ENOTDIR ? kErrNotFound : error; }

// The entry was listed as a directory but is something else now (swapped for a link or a file).
bool noLongerADirectory(int error) { return error == ELOOP || error == ENOTDIR; }
}  // namespace

void CXDirectory::setDescendHookForTests(std::function<void(const char* path)> hook) { descendHook = std::move(hook); }

CXDirectory::CXDirectory() { setDebugPrefix("DIRECTORY"); }

CXDirectory::~CXDirectory() { close(); }

bool CXDirectory::isDotOrDotDot(const char* name) {
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

bool CXDirectory::isExcepted(const char* name, const char* except) {
    return except != nullptr && strcasecmp(name, except) == 0;
}

int CXDirectory::open(const char* dirname) {
    if (dirname == nullptr || *dirname == '\0') {
        lastError_ = kErrWrongState;
        debug(1, "open: dirname is a null string\n");
        return -1;
    }
    if (openFlag_ != 0) close();
    lastError_ = stream_.open(dirname);
    if (lastError_ != 0) {
        debug(1, "open: FindFirstFile %s failed, errno %d\n", dirname, lastError_);
        return -1;
    }
    openFlag_ = 1;
    name_ = dirname;
    return 0;
}

int CXDirectory::openBelow(const CXDirectory& parent, const char* name, const char* path) {
    if (descendHook) descendHook(path);
    lastError_ = stream_.openBelow(parent.stream_, name);
    if (lastError_ != 0) {
        if (!noLongerADirectory(lastError_)) debug(1, "open: FindFirstFile %s failed, errno %d\n", path, lastError_);
        return -1;
    }
    openFlag_ = 1;
    name_ = path;
    recursion_ = true;
    return 0;
}

char* CXDirectory::read() {
    if (openFlag_ == 0) {
        lastError_ = kErrWrongState;
        debug(1, "read: not open\n");
        return nullptr;
    }
    const char* name = stream_.next(lastError_);
    if (name != nullptr) {
        snprintf(entry_, sizeof entry_, "%s", name);
        return entry_;
    }
    if (lastError_ != 0) debug(1, "read: FindNextFile failed, code %d\n", lastError_);
    return nullptr;
}

int CXDirectory::close() {
    if (openFlag_ == 0) return 0;
    openFlag_ = 0;
    const int error = stream_.close();
    if (error == 0) return 0;
    lastError_ = error;
    return -1;
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

// The loop of the copy, remove and sum walks, over every entry but ".", ".." and the excepted
// name. With recursion a subdirectory is opened below this one into a nested object and handed
// to visitDirectory(nested, name, path); everything else, a subdirectory swapped for a link or a
// file since it was listed included, goes to visitEntry(name, path). A visitor that fails has
// logged why; a failed listing calls readFailed to log it. True when every entry was visited.
template <typename VisitDirectory, typename VisitEntry, typename ReadFailed>
bool CXDirectory::walk(const char* except, const char* operation, VisitDirectory visitDirectory,
                       VisitEntry visitEntry, ReadFailed readFailed) {
    char path[kPathBufSize];
    const char* name;
    while ((name = read()) != nullptr) {
        if (isDotOrDotDot(name) || isExcepted(name, except)) continue;
        if (!composePath(path, name_.c_str(), name)) return false;
        if (recursion_ && stream_.lastIsDirectory(name)) {
            CXDirectory nested;
            if (nested.openBelow(*this, name, path) == 0) {
                if (!visitDirectory(nested, name, path)) return false;
                continue;
            }
            lastError_ = nested.getLastError();
            if (!noLongerADirectory(lastError_)) {
                debug(1, "%s: cannot open '%s', code %d", operation, path, lastError_);
                return false;
            }
        }
        if (!visitEntry(name, path)) return false;
    }
    if (lastError_ == 0) return true;
    readFailed();
    return false;
}

int CXDirectory::copyFiles(const char* toDir, const char* except, bool ignoreCopyError) {
    if (openFlag_ == 0 || toDir == nullptr) {
        lastError_ = kErrWrongState;
        debug(1, "copyFiles to %s attempted before open\n", toDir != nullptr ? toDir : "NULL");
        return -1;
    }
    if (stream_.isEmpty()) return 0;
    const int toFd = ::open(toDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (toFd < 0) {
        lastError_ = mapNotFound(errno);
        debug(1, "copyFiles cannot copy '%s' to '%s', code %d\n", name_.c_str(), toDir, lastError_);
        return -1;
    }
    const int result = copyInto(toFd, toDir, except, ignoreCopyError);
    ::close(toFd);
    return result;
}

// Copies this directory's entries into the directory open as toFd, named toDir.
int CXDirectory::copyInto(int toFd, const char* toDir, const char* except, bool ignoreCopyError) {
    char to[kPathBufSize];
    // The target subdirectory is made, or an existing one reused, and opened without following
    // a link that holds its name.
    auto copyDirectory = [&](CXDirectory& nested, const char* name, const char* from) {
        if (!composePath(to, toDir, name)) return false;
        const int sub = sys::mkdirat(toFd, name, 0777) == 0 || errno == EEXIST
                            ? openat(toFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                            : -1;
        if (sub < 0) {
            lastError_ = errno;
            debug(1, "createCopy: cannot mkdir %s (errno %d)\n", toDir, lastError_);
            return false;
        }
        const int result = nested.copyInto(sub, to, except, false);
        ::close(sub);
        if (result == 0) return true;
        lastError_ = nested.getLastError();
        debug(1, "createCopy: cannot copy '%s' to '%s', code %d", from, to, lastError_);
        return false;
    };
    auto copyEntry = [&](const char* name, const char* from) {
        if (!composePath(to, toDir, name)) return false;
        if (CXCopyFileBelow(stream_.fd(), toFd, name, from, to, &lastError_) == 0) return true;
        if (!ignoreCopyError) {
            debug(1, "copyFiles cannot copy '%s' to '%s', code %d\n", from, to, lastError_);
            return false;
        }
        debug(1, "copyFiles cannot copy '%s' to '%s', code %d. Ignore copy error and continue.\n", from, to,
              lastError_);
        return true;
    };
    return walk(except, "createCopy", copyDirectory, copyEntry,
                [&] { debug(1, "copyFiles %s to %s directory read failed\n", name_.c_str(), toDir); })
               ? 0
               : -1;
}

bool CXDirectory::removeEntry(const char* name, const char* path, bool directory) {
    if (sys::unlinkat(stream_.fd(), name, directory ? AT_REMOVEDIR : 0) == 0) return true;
    lastError_ = errno;
    if (directory)
        debug(1, "removeFiles rmdir %s failed, errno %d\n", path, lastError_);
    else
        debug(1, "removeFiles unlink %s failed, errno %d\n", path, lastError_);
    return false;
}

int CXDirectory::removeFiles(const char* except) {
    if (openFlag_ == 0) {
        lastError_ = kErrWrongState;
        debug(1, "removeFiles attempted before open\n");
        return -1;
    }
    debug(1, "removeFiles from %s (except %s)\n", name_.c_str(), except != nullptr ? except : "NULL");
    if (stream_.isEmpty()) return 0;
    auto removeDirectory = [&](CXDirectory& nested, const char* name, const char* path) {
        if (nested.removeFiles(except) != 0) {
            lastError_ = nested.getLastError();
            debug(1, "removeFiles: cannot remove '%s', code %d", path, lastError_);
            return false;
        }
        nested.close();
        return removeEntry(name, path, true);
    };
    // A link goes as a link.
    auto remove = [&](const char* name, const char* path) { return removeEntry(name, path, false); };
    return walk(except, "removeFiles", removeDirectory, remove, [&] { debug(1, "removeFiles directory read failed\n"); })
               ? 0
               : -1;
}

int64_t CXDirectory::sumSizes() {
    if (openFlag_ == 0) {
        lastError_ = kErrWrongState;
        debug(1, "sumSizes attempted before open\n");
        return -1;
    }
    if (stream_.isEmpty()) return 0;
    int64_t total = 0;
    auto sumDirectory = [&](CXDirectory& nested, const char*, const char* path) {
        const int64_t size = nested.sumSizes();
        if (size < 0) {
            lastError_ = nested.getLastError();
            debug(1, "cannot sum size of '%s', code %d", path, lastError_);
            return false;
        }
        total += size;
        return true;
    };
    // An entry counts by its own size: a link by its target text, whatever it points to, a pipe
    // by nothing. A subdirectory met without recursion is no file (EISDIR).
    auto sumEntry = [&](const char* name, const char* path) {
        struct stat st {};
        lastError_ = fstatat(stream_.fd(), name, &st, AT_SYMLINK_NOFOLLOW) != 0 ? errno
                     : S_ISDIR(st.st_mode)                                  ? EISDIR
                                                                            : 0;
        if (lastError_ != 0) {
            debug(1, "sumSizes open %s failed, code %d\n", path, lastError_);
            return false;
        }
        total += st.st_size;
        return true;
    };
    return walk(nullptr, "sumSizes", sumDirectory, sumEntry, [&] { debug(1, "sumSizes directory read failed\n"); })
               ? total
               : -1;
}

int CXDirectory::findFileByPattern(const char* pattern, std::string& path, int) {
    if (openFlag_ == 0) {
        lastError_ = kErrWrongState;
        debug(1, "ERROR: findFileByPattern() try to find file before open\n");
        return -1;
    }
    if (stream_.isEmpty() || pattern == nullptr) return 1;
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
