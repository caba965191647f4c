#include "Indexing/idxport/CXCopyFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>

#include "Indexing/icommon/TDebuggable.h"
#include "Indexing/idxport/CXErrors.h"
#include "Indexing/idxport/PathSep.h"

namespace {
// Copies what remains of in to out: in-kernel while the file systems allow it, then by reads and
// writes (copy_file_range reports nothing for some pseudo files, so the loop always ends with a
// read that finds the end).
int copyContents(int in, int out) {
    for (;;) {
        const ssize_t n = copy_file_range(in, nullptr, out, nullptr, size_t(1) << 30, 0);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP || errno == EPERM) break;
            return -1;
        }
    }
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = ::read(in, buffer, sizeof buffer);
        if (got == 0) return 0;
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(out, buffer + done, size_t(got - done));
            if (put < 0) {
                if (errno == EINTR) continue;
                return -1;
            }
            done += put;
        }
    }
}

// Creates a new file of that mode beside the target; its name goes to tempName.
int createTemp(const std::string& to, mode_t mode, std::string& tempName) {
    static std::atomic<unsigned> counter{0};
    std::string dir = parentPath(to);
    if (dir.empty()) dir = ".";
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempName = joinPath(dir, ".cxcopy-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
        const int fd = ::open(tempName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

int copyFile(const char* from, const char* to) {
    const int in = ::open(from, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);  // a pipe must not hold us
    if (in < 0) return errno;
    struct stat st;
    int error = fstat(in, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : !S_ISREG(st.st_mode) ? EINVAL : 0;
    if (error != 0) {
        ::close(in);
        return error;
    }
    std::string tempName;
    const int out = createTemp(to, st.st_mode & 0777, tempName);
    if (out < 0) {
        error = errno;
        ::close(in);
        return error;
    }
    if (copyContents(in, out) != 0) error = errno;
    // The copy keeps the source's modification time, as the OS copy it stands for did.
    const struct timespec times[2] = {{0, UTIME_OMIT}, st.st_mtim};
    if (error == 0) futimens(out, times);
    if (::close(out) != 0 && error == 0) error = errno;
    ::close(in);
    if (error == 0 && rename(tempName.c_str(), to) != 0) error = errno;
    if (error != 0) unlink(tempName.c_str());
    return error;
}
}  // namespace

int CXCopyFile(const char* from, const char* to, int* error) {
    int result = kErrWrongState;
    if (from != nullptr && to != nullptr && *from != '\0' && *to != '\0') {
        result = copyFile(from, to);
        if (result == ENOTDIR) result = kErrNotFound;
    }
    if (result == 0) return 0;
    if (error != nullptr) *error = result;
    TDebuggable log;
    log.setDebugPrefix("CXCOPYFILE");
    log.debug(1, "cannot copy %s to %s, code %d\n", from != nullptr ? from : "NULL", to != nullptr ? to : "NULL",
              result);
    return -1;
}
