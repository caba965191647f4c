#include "Platform/MDLock.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>

#include "Platform/EvDebug.h"
#include "Platform/PlatformEnv.h"
#include "Platform/BoundedWait.h"

namespace {
constexpr const char* kSuffix = ".lock";
constexpr size_t kSuffixLength = 5;

// The lock directory without trailing slashes ("/" stays "/").
std::string lockDirectory() {
    std::string dir = PlatformEnv::lockDirectory();
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

// Opens the lock directory, creating it and any missing parent when it is missing. The
// directory itself gets 01777 (set on the descriptor, so the umask does not narrow it) when this
// call created it; a directory that exists already keeps the mode its owner gave it, but must
// be safe to hold locks: not a symbolic link, and not writable by group or others without the
// sticky bit (anyone who can move a lock file away lets a second process take "the same" lock
// on a new file). -1 with why set otherwise.
int openLockDirectory(const std::string& dir, std::string& why) {
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = open(dir.c_str(), flags);
    if (fd < 0 && errno == ENOENT) {
        for (size_t slash = dir.find('/', 1); slash != std::string::npos; slash = dir.find('/', slash + 1)) {
            std::string parent = dir.substr(0, slash);
            if (mkdir(parent.c_str(), 0777) != 0 && errno != EEXIST) {
                why = "cannot create '" + parent + "': " + strerror(errno);
                return -1;
            }
        }
        const bool made = mkdir(dir.c_str(), 01777) == 0;
        if (!made && errno != EEXIST) {
            why = "cannot create it: " + std::string(strerror(errno));
            return -1;
        }
        fd = open(dir.c_str(), flags);
        struct stat st {};
        if (made && fd >= 0 && fstat(fd, &st) == 0 && st.st_uid == geteuid()) fchmod(fd, 01777);
    }
    if (fd < 0) {
        const int error = errno;
        struct stat st {};
        if (lstat(dir.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            why = "it is a symbolic link; make it a directory of its own (mode 01777, or 0755 for one user), or "
                  "point VORNICA_LOCK_DIR at one";
        else if (error == ENOTDIR)
            why = "it is not a directory";
        else
            why = "cannot open it: " + std::string(strerror(error));
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        why = "cannot examine it: " + std::string(strerror(errno));
        close(fd);
        return -1;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0) {
        char text[256];
        snprintf(text, sizeof text,
                 "it is writable by group or others without the sticky bit (mode %04o), so lock files can be "
                 "moved away under their holders; chmod +t it, or point VORNICA_LOCK_DIR at a directory of its own",
                 static_cast<unsigned>(st.st_mode & 07777));
        why = text;
        close(fd);
        return -1;
    }
    if (st.st_uid != 0 && st.st_uid != geteuid()) {
        // Its owner may remove lock files that are held; said once per directory and process.
        static std::mutex warnedMutex;
        static std::set<std::string> warned;
        std::lock_guard<std::mutex> guard(warnedMutex);
        if (warned.insert(dir).second) {
            EvDebug log;
            log.Debug("MDLock::set",
                      "WARNING: lock directory '%s' belongs to user %u, neither root nor this process's user %u; "
                      "that user can remove held locks: point VORNICA_LOCK_DIR at a directory of root or of this user\n",
                      dir.c_str(), static_cast<unsigned>(st.st_uid), static_cast<unsigned>(geteuid()));
        }
    }
    return fd;
}
}  // namespace

MDLock::MDLock(const char* name) : name_(name != nullptr ? name : "") {}

MDLock::~MDLock() { unset(); }

bool MDLock::validName() const {
    return !name_.empty() && name_.find('/') == std::string::npos && name_.size() + kSuffixLength <= NAME_MAX;
}

std::string MDLock::path() const {
    if (!validName()) return {};
    std::string dir = lockDirectory();
    return (dir == "/" ? dir : dir + "/") + name_ + kSuffix;
}

// Opens the lock file read-only (flock needs no write access, so other users' processes can
// lock a file this one created). An existing file is opened without O_CREAT: on systems with
// protected_regular, O_CREAT on another user's file in a sticky directory is refused. The file
// must be a regular file: a symbolic link is not followed, and O_NONBLOCK keeps a FIFO planted
// under the name from blocking the open.
int MDLock::openLockFile(int dirFd, const std::string& file) {
    const int flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    int fd = -1;
    for (int attempt = 0; attempt < 5 && fd < 0; ++attempt) {
        fd = openat(dirFd, file.c_str(), flags);
        if (fd >= 0 || errno != ENOENT) break;
        fd = openat(dirFd, file.c_str(), flags | O_CREAT | O_EXCL, 0644);
        if (fd >= 0) {
            fchmod(fd, 0644);
            break;
        }
        if (errno != EEXIST) break;
    }
    if (fd < 0) return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

bool MDLock::set(unsigned long timeoutMs) {
    if (fd_ >= 0) return true;
    EvDebug log;
    if (!validName()) {
        log.Debug("MDLock::set", "invalid lock name '%s'", name_.c_str());
        return false;
    }
    std::string dir = lockDirectory();
    std::string why;
    const int dirFd = openLockDirectory(dir, why);
    if (dirFd < 0) {
        log.Debug("MDLock::set", "ERROR: lock directory '%s' refused for lock '%s': %s\n", dir.c_str(), name_.c_str(),
                  why.c_str());
        return false;
    }
    std::string file = path();
    // Opened in the directory that was checked, whatever happens at its path meanwhile.
    int fd = openLockFile(dirFd, name_ + kSuffix);
    const int openError = errno;
    close(dirFd);
    if (fd < 0) {
        log.Debug("MDLock::set", "cannot open lock file '%s', code %d", file.c_str(), openError);
        return false;
    }

    const bool forever = timeoutMs == kWaitForever || timeoutMs == 0xFFFFFFFFUL;
    // A bounded wait blocks in the kernel and takes the lock as it is released (a paging lock
    // guards a lookup or a rename); where it has to poll, it tries after 1 ms, doubling to kPollMs.
    int code = 0, got = 1;
    if (forever) {
        while (flock(fd, LOCK_EX) != 0 && got == 1)
            if ((code = errno) != EINTR) got = -1;
    } else {
        unsigned long waited = 0;
        got = boundedwait::wait(
            [fd](bool block, int& cause) {
                if (flock(fd, block ? LOCK_EX : LOCK_EX | LOCK_NB) == 0) return 1;
                cause = errno;
                return cause == EWOULDBLOCK || cause == EINTR ? 0 : -1;
            },
            timeoutMs, waited, LockPacing{0, kPollMs, false}, code);
    }
    if (got != 1) {
        if (got < 0) log.Debug("MDLock::set", "cannot lock '%s', code %d", file.c_str(), code);
        close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

void MDLock::unset() {
    if (fd_ < 0) return;
    flock(fd_, LOCK_UN);
    close(fd_);
    fd_ = -1;
}
