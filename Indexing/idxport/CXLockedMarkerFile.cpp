#include "Indexing/idxport/CXLockedMarkerFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Indexing/icommon/SafeFileOps.h"
#include "Indexing/idxport/FsPrimitives.h"
#include "Indexing/idxport/PathSep.h"
#include "Platform/PlatformSleep.h"
#include "Platform/SysCalls.h"

const char* CXLockedMarkerFile::RESTORE_IN_PROGRESS = "restoreInProgress";

namespace {
// Opens the marker without following a symbolic link and without blocking on a FIFO: only a
// regular file is a marker. Retries one per second. The descriptor, or -1 with errno.
int openMarker(const std::string& path, int flags, unsigned retries) {
    for (;;) {
        int fd = sys::open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
        if (fd >= 0) {
            struct stat st {};
            if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return fd;
            ::close(fd);
            errno = EINVAL;
        }
        if (retries-- == 0) return -1;
        YUSLEEP(1000);
    }
}

// Both descriptors are open on one file.
bool sameFile(int a, int b) {
    struct stat first {}, second {};
    return fstat(a, &first) == 0 && fstat(b, &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

enum class Probe { held, free, failed };

// A shared lock is refused only while an owner holds the exclusive one, so a descriptor open
// for reading is enough to tell: any account that may read the marker can.
Probe probeShared(CXFile& file) {
    switch (file.lock(sfLockShared, 0)) {
        case 1:
            file.unlock();
            return Probe::free;
        case 0:
            return Probe::held;
        default:
            return Probe::failed;
    }
}
}  // namespace

CXLockedMarkerFile::CXLockedMarkerFile(const char* folder, unsigned timeout) : timeout_(timeout) {
    init(folder != nullptr ? folder : "", RESTORE_IN_PROGRESS);
}

CXLockedMarkerFile::CXLockedMarkerFile(const std::string& folder, unsigned timeout) : timeout_(timeout) {
    init(folder, RESTORE_IN_PROGRESS);
}

CXLockedMarkerFile::CXLockedMarkerFile(const std::string& folder, const std::string& name, unsigned timeout)
    : timeout_(timeout) {
    init(folder, name);
}

void CXLockedMarkerFile::init(const std::string& folder, const std::string& name) {
    setDebugPrefix("CXLockedMarkerFile::CXLockedMarkerFile");
    folder_ = folder;
    if (folder_.empty()) {
        debug(1, "ERROR: folder name is empty!");
        return;
    }
    path_ = joinPath(folder_, name);
}

CXLockedMarkerFile::~CXLockedMarkerFile() {
    const int result = unLockAndRemove();
    setDebugPrefix("CXLockedMarkerFile::~CXLockedMarkerFile");
    if (result == kErrNotLocked)
        debug(2, "Failed to unlock '%s' because file was not locked.", path_.c_str());
    else if (result != 0)
        debug(1, "Failed to unlock '%s'. Error code returned '%d'", path_.c_str(), result);
}

int CXLockedMarkerFile::openLocked(const char* content) {
    setDebugPrefix("CXLockedMarkerFile::openLocked");
    if (folder_.empty()) {
        debug(1, "Failed to open file because folder name is empty!");
        return kErrNoFolder;
    }
    if (recursiveMkdir(folder_.c_str(), 0700) != 0)
        debug(1, "cannot create dir '%s', errno %d\n", folder_.c_str(), errno);
    if (file_.isOpen() || openFile(timeout_) != 0) return -1;
    const int locked = lock();
    if (locked != 0) return locked;
    if (content == nullptr) return 0;
    const unsigned long size = std::strlen(content) + 1;
    const long written = file_.write(content, size);
    return written == static_cast<long>(size) ? static_cast<int>(written) : -1;
}

int CXLockedMarkerFile::openFile(unsigned retries) {
    int fd = openMarker(path_, O_RDWR | O_CREAT, retries);
    if (fd < 0) return -1;
    file_.setHandles(fd, fd, sfReadWrite);  // file_ closes it
    fd_ = fd;
    return 0;
}

void CXLockedMarkerFile::closeFile() {
    file_.close();
    fd_ = -1;
}

int CXLockedMarkerFile::lock() {
    if (!file_.isOpen() || file_.isLocked()) return -1;
    for (int attempt = 1;; ++attempt) {
        switch (file_.lock(sfLockExclusive, timeout_)) {
            case 1:
                break;
            case 0:
                return 1;
            default:
                return -1;
        }
        if (fsDescriptorIsAt(fd_, path_.c_str())) return 0;
        // Its owner removed it while we waited for the lock: a lock on that file marks nothing.
        file_.unlock();
        closeFile();
        if (attempt == kLockAttempts) {
            setDebugPrefix("CXLockedMarkerFile::lock");
            debug(1, "ERROR: '%s' was replaced %d times while it was being locked\n", path_.c_str(), attempt);
            return -1;
        }
        if (openFile(0) != 0) return -1;
    }
}

int CXLockedMarkerFile::unLock() {
    if (!file_.isOpen() || !file_.isLocked()) return kErrNotLocked;
    return file_.unlock();
}

int CXLockedMarkerFile::unLockAndRemove() {
    setDebugPrefix("CXLockedMarkerFile::unLockAndRemove");
    // The name goes first, while the lock is held: nobody can take the lock of a file that is
    // about to vanish and then hold a marker that nobody else can see.
    if (file_.isOpen() && file_.isLocked() && fsDescriptorIsAt(fd_, path_.c_str())) removeFile();
    const int result = unLock();
    closeFile();
    return result;
}

void CXLockedMarkerFile::removeFile() {
    // Someone else removing it in between is as good as removing it here.
    if (fsUnlink(path_.c_str()) != 0 && errno != kErrNotFound) debug(1, "Could not remove file '%s'", path_.c_str());
}

int CXLockedMarkerFile::isLocked() {
    setDebugPrefix("CXLockedMarkerFile::isLocked");
    if (folder_.empty()) return kErrNoFolder;
    if (file_.isLocked()) return 1;
    for (int round = 0; round < kConfirmRounds; ++round) {
        const int fd = openMarker(path_, O_RDONLY, timeout_);
        if (fd < 0) return 0;
        CXFile look;
        look.setHandles(fd, -1, sfReadOnly);  // look.close() closes it
        Probe probe = probeShared(look);
        if (probe == Probe::free) {
            // Left by a process that died, or its owner has opened it and not yet locked it:
            // only the same file, still free after the delay, is stale. It stays open here
            // meanwhile, so that no new file can take its inode.
            YUSLEEP(kStaleConfirmMs);
            if (!fsDescriptorIsAt(fd, path_.c_str())) {
                look.close();
                continue;  // another marker took the name: its owner may be about to lock it
            }
            probe = probeShared(look);
        }
        const Removal removal = probe == Probe::free ? removeStale(fd) : Removal::left;
        look.close();
        if (removal == Removal::replaced) continue;
        return probe == Probe::held || removal == Removal::held ? 1 : 0;
    }
    return 0;
}

// Removal takes the exclusive lock and keeps it until the name is gone, and only removes the
// file that was found free (open as lookFd).
CXLockedMarkerFile::Removal CXLockedMarkerFile::removeStale(int lookFd) {
    int fd = openMarker(path_, O_WRONLY, 0);
    if (fd < 0) {
        if (errno == kErrNotFound) return Removal::removed;  // by another observer
        debug(2, "cannot open '%s' to remove it as stale, errno %d\n", path_.c_str(), errno);
        return Removal::left;
    }
    CXFile remover;
    remover.setHandles(-1, fd, sfWriteOnly);  // remover.close() closes it
    const int locked = remover.lock(sfLockExclusive, 0);
    Removal result = locked == 0 ? Removal::held : locked < 0 ? Removal::left : Removal::removed;
    if (result == Removal::removed) {
        if (fsDescriptorIsAt(fd, path_.c_str()) && sameFile(fd, lookFd))
            removeFile();
        else
            result = Removal::replaced;
        remover.unlock();
    }
    remover.close();
    return result;
}
