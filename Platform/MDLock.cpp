#include "Platform/MDLock.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "Platform/EvDebug.h"
#include "Platform/PlatformEnv.h"
#include "Platform/PlatformSleep.h"

namespace {
constexpr const char* kSuffix = ".lock";
constexpr size_t kSuffixLength = 5;

// The lock directory without trailing slashes ("/" stays "/").
std::string lockDirectory() {
    std::string dir = PlatformEnv::lockDirectory();
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

bool isDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Creates the lock directory and any missing parent. The directory itself gets 01777 (set
// with chmod, so the umask does not narrow it) when this call created it; a directory that
// exists already keeps the mode its owner gave it.
bool ensureLockDirectory(const std::string& dir) {
    if (isDirectory(dir)) return true;
    for (size_t slash = dir.find('/', 1); slash != std::string::npos; slash = dir.find('/', slash + 1)) {
        std::string parent = dir.substr(0, slash);
        if (mkdir(parent.c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
    if (mkdir(dir.c_str(), 01777) == 0) {
        chmod(dir.c_str(), 01777);
        return true;
    }
    return errno == EEXIST && isDirectory(dir);
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
int MDLock::openLockFile(const std::string& file) {
    const int flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    int fd = -1;
    for (int attempt = 0; attempt < 5 && fd < 0; ++attempt) {
        fd = open(file.c_str(), flags);
        if (fd >= 0 || errno != ENOENT) break;
        fd = open(file.c_str(), flags | O_CREAT | O_EXCL, 0644);
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
    if (!ensureLockDirectory(dir)) {
        log.Debug("MDLock::set", "cannot create lock directory '%s', code %d", dir.c_str(), errno);
        return false;
    }
    std::string file = path();
    int fd = openLockFile(file);
    if (fd < 0) {
        log.Debug("MDLock::set", "cannot open lock file '%s', code %d", file.c_str(), errno);
        return false;
    }

    const bool forever = timeoutMs == kWaitForever || timeoutMs == 0xFFFFFFFFUL;
    unsigned long waited = 0;
    for (;;) {
        if (flock(fd, forever ? LOCK_EX : LOCK_EX | LOCK_NB) == 0) break;
        int code = errno;
        if (code == EINTR) continue;
        if (code != EWOULDBLOCK || waited >= timeoutMs) {
            if (code != EWOULDBLOCK)
                log.Debug("MDLock::set", "cannot lock '%s', code %d", file.c_str(), code);
            close(fd);
            return false;
        }
        unsigned long slice = std::min(kPollMs, timeoutMs - waited);
        YUSLEEP(slice);
        waited += slice;
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
