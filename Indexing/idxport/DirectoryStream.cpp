#include "Indexing/idxport/DirectoryStream.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {
DIR* stream(void* dir) { return static_cast<DIR*>(dir); }
}  // namespace

int DirectoryStream::adopt(int fd) {
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        const int error = errno;
        ::close(fd);
        return error;
    }
    dir_ = dir;
    return 0;
}

int DirectoryStream::open(const char* path) {
    close();
    const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) return adopt(fd);
    const int error = errno == ENOTDIR ? ENOENT : errno;
    struct stat st {};
    if (error == ENOENT && stat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
        empty_ = true;
        return 0;
    }
    return error;
}

int DirectoryStream::openBelow(const DirectoryStream& parent, const char* name) {
    close();
    const int fd = openat(parent.fd(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    return fd < 0 ? errno : adopt(fd);
}

const char* DirectoryStream::next(int& error) {
    error = 0;
    if (dir_ == nullptr) return nullptr;
    errno = 0;
    const struct dirent* entry = readdir(stream(dir_));
    if (entry == nullptr) {
        error = errno;
        return nullptr;
    }
    lastType_ = entry->d_type;
    return entry->d_name;
}

bool DirectoryStream::lastIsDirectory(const char* name) const {
    if (lastType_ != DT_UNKNOWN) return lastType_ == DT_DIR;
    struct stat st {};
    return fstatat(fd(), name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

int DirectoryStream::close() {
    empty_ = false;
    if (dir_ == nullptr) return 0;
    const int result = closedir(stream(dir_)) == 0 ? 0 : errno;
    dir_ = nullptr;
    return result;
}

int DirectoryStream::fd() const { return dir_ != nullptr ? dirfd(stream(dir_)) : -1; }
