#include "Indexing/idxport/CXCopyFile.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "Indexing/icommon/TDebuggable.h"
#include "Indexing/idxport/CXErrors.h"
#include "Indexing/idxport/PathSep.h"
#include "Platform/SysCalls.h"
#include "Platform/TempNames.h"

namespace {
constexpr int kSourceFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;  // a pipe must not hold us

// Copies what remains of in to out: in-kernel while the file systems allow it, then by reads and
// writes (copy_file_range reports nothing for some pseudo files, so the loop always ends with a
// read that finds the end).
int copyContents(int in, int out) {
    for (;;) {
        const ssize_t n = sys::copyFileRange(in, nullptr, out, nullptr, size_t(1) << 30, 0);
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
            const ssize_t put = sys::write(out, buffer + done, size_t(got - done));
            if (put < 0) {
                if (errno == EINTR) continue;
                return -1;
            }
            done += put;
        }
    }
}

// Makes a new entry in the target's directory under a fresh temporary name (left in tempName)
// with make(name), which returns 0 or the errno value; EEXIST tries the next name. The name
// carries host, pid and a random part: a process of another host sharing the directory may have
// this pid, and make must create exclusively, so that a name taken is never shared.
template <typename Make>
int createTemp(Make make, std::string& tempName) {
    int error = EEXIST;
    for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
        tempName = TempNames::make(".cxcopy", "copy");
        error = make(tempName.c_str());
    }
    return error;
}

// Puts the finished temporary entry in the target's place, or removes it after a failure.
int replaceTarget(int toDir, const std::string& tempName, const char* name, int error) {
    if (error == 0 && sys::renameat(toDir, tempName.c_str(), toDir, name) != 0) error = errno;
    if (error != 0) sys::unlinkat(toDir, tempName.c_str(), 0);
    return error;
}

// Copies the file open as in to the entry name of toDir. 0 or the errno value.
int copyRegular(int in, int toDir, const char* name) {
    struct stat st;
    if (fstat(in, &st) != 0) return errno;
    if (!S_ISREG(st.st_mode)) return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    std::string tempName;
    int out = -1;
    int error = createTemp(
        [&](const char* temp) {
            out = sys::openat(toDir, temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 0777);
            return out >= 0 ? 0 : errno;
        },
        tempName);
    if (error != 0) return error;
    if (copyContents(in, out) != 0) error = errno;
    // The copy keeps the source's modification time, as the OS copy it stands for did.
    const struct timespec times[2] = {{0, UTIME_OMIT}, st.st_mtim};
    if (error == 0) futimens(out, times);
    if (::close(out) != 0 && error == 0) error = errno;
    return replaceTarget(toDir, tempName, name, error);
}

// Makes the entry name of toDir a link with the same target text as the link name of fromDir.
int copyLink(int fromDir, int toDir, const char* name) {
    char target[PATH_MAX];
    const ssize_t length = readlinkat(fromDir, name, target, sizeof target);
    if (length < 0) return errno;
    if (static_cast<size_t>(length) == sizeof target) return ENAMETOOLONG;
    target[length] = '\0';
    std::string tempName;
    const int error = createTemp(
        [&](const char* temp) { return sys::symlinkat(target, toDir, temp) == 0 ? 0 : errno; }, tempName);
    return error != 0 ? error : replaceTarget(toDir, tempName, name, 0);
}

int report(int result, const char* from, const char* to, int* error) {
    if (result == ENOTDIR) result = kErrNotFound;
    if (result == 0) return 0;
    if (error != nullptr) *error = result;
    TDebuggable log;
    log.setDebugPrefix("CXCOPYFILE");
    log.debug(1, "cannot copy %s to %s, code %d\n", from != nullptr ? from : "NULL", to != nullptr ? to : "NULL",
              result);
    return -1;
}
}  // namespace

int CXCopyFile(const char* from, const char* to, int* error) {
    if (from == nullptr || to == nullptr || *from == '\0' || *to == '\0') return report(kErrWrongState, from, to, error);
    const std::string folder = parentPath(to);
    const int in = ::open(from, kSourceFlags);  // the caller named the source: a link is followed
    if (in < 0) return report(errno, from, to, error);
    const int toDir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int result = toDir < 0 ? errno : copyRegular(in, toDir, lastPathComponent(to).c_str());
    if (toDir >= 0) ::close(toDir);
    ::close(in);
    return report(result, from, to, error);
}

int CXCopyFileBelow(int fromDir, int toDir, const char* name, const char* from, const char* to, int* error) {
    int result;
    const int in = openat(fromDir, name, kSourceFlags | O_NOFOLLOW);
    if (in >= 0) {
        result = copyRegular(in, toDir, name);
        ::close(in);
    } else {
        result = errno == ELOOP ? copyLink(fromDir, toDir, name) : errno;
    }
    return report(result, from, to, error);
}
