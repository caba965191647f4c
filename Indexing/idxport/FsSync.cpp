#include "Indexing/idxport/FsSync.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "Platform/SysCalls.h"

namespace {
int syncPath(const char* path, int flags) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    int fd;
    do {
        fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    int rc = sys::fsync(fd);
    const int error = errno;
    ::close(fd);
    errno = error;
    return rc == 0 ? 0 : -1;
}
}  // namespace

int fsSyncFile(const char* path) { return syncPath(path, O_NONBLOCK); }

int fsSyncDirectory(const char* path) { return syncPath(path, O_DIRECTORY); }
