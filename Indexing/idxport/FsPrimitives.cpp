#include "Indexing/idxport/FsPrimitives.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "Platform/SysCalls.h"

namespace {
std::atomic<FsRenameAt2> renameAt2Seam{nullptr};

int systemRenameAt2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
    return sys::renameat2(fromDir, from, toDir, to, flags);
}

// The link fails with EEXIST when to exists. Should the old name refuse to go, the new one goes
// again, so that the file ends with the one name it had.
int renameByLink(const char* from, const char* to) {
    if (sys::link(from, to) != 0) return -1;
    if (sys::unlink(from) == 0) return 0;
    const int error = errno;
    sys::unlink(to);
    errno = error;
    return -1;
}

// A directory: the target name is claimed with mkdir, which fails with EEXIST when anything has
// it (atomic on every file system, network shares too), and the directory is then renamed onto
// that empty directory of our own. Should the rename fail (another process put an entry into the
// claim meanwhile, or an I/O error), the claim goes again when it is still empty.
int renameDirectoryByClaim(const char* from, const char* to) {
    if (sys::mkdir(to, 0700) != 0) return -1;
    if (sys::rename(from, to) == 0) return 0;
    const int error = errno;
    sys::rmdir(to);
    errno = error;
    return -1;
}

// The no-replace rename of a file system without the flag, made of steps that are each atomic.
int renameNoReplaceWithoutTheFlag(const char* from, const char* to) {
    struct stat st {};
    if (lstat(from, &st) != 0) return -1;
    return S_ISDIR(st.st_mode) ? renameDirectoryByClaim(from, to) : renameByLink(from, to);
}
}  // namespace

void setFsRenameAt2ForTests(FsRenameAt2 call) { renameAt2Seam = call; }

int fsRename(const char* from, const char* to) {
    if (from == nullptr || to == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return sys::rename(from, to) == 0 ? 0 : -1;
}

int fsRenameNoReplace(const char* from, const char* to) {
    if (from == nullptr || to == nullptr) {
        errno = EINVAL;
        return -1;
    }
    const FsRenameAt2 seam = renameAt2Seam;
    if ((seam != nullptr ? seam : systemRenameAt2)(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
    // EINVAL also answers a directory moved into itself: the fallback's own rename then
    // refuses it in turn, with the claim removed again.
    if (errno != EINVAL && errno != ENOSYS) return -1;
    return renameNoReplaceWithoutTheFlag(from, to);
}

int fsRmdir(const char* path) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return sys::rmdir(path) == 0 ? 0 : -1;
}

int fsUnlink(const char* path) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return sys::unlink(path) == 0 ? 0 : -1;
}

int fsMkdir(const char* path, int mode) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return sys::mkdir(path, static_cast<mode_t>(mode)) == 0 ? 0 : -1;
}

bool fsExists(const char* path) {
    if (path == nullptr) {
        errno = EINVAL;
        return false;
    }
    struct stat st {};
    return lstat(path, &st) == 0;
}

bool fsDescriptorIsAt(int fd, const char* path) {
    if (path == nullptr) {
        errno = EINVAL;
        return false;
    }
    struct stat opened {}, named {};
    if (fstat(fd, &opened) != 0 || lstat(path, &named) != 0) return false;
    if (opened.st_nlink != 0 && opened.st_dev == named.st_dev && opened.st_ino == named.st_ino) return true;
    errno = ENOENT;
    return false;
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

int fsReadFileHead(const char* path, char* buffer, size_t size, size_t& got) {
    got = 0;
    if (path == nullptr || (buffer == nullptr && size > 0)) {
        errno = EINVAL;
        return -1;
    }
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st {};
    int error = 0;
    if (fstat(fd, &st) != 0)
        error = errno;
    else if (!S_ISREG(st.st_mode))
        error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    while (error == 0 && got < size) {
        const ssize_t n = read(fd, buffer + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = errno;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    if (error == 0) return 0;
    errno = error;
    return -1;
}
