#include "Indexing/icommon/SafeFileOps.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include "Indexing/icommon/TDebuggable.h"
#include "Indexing/idxport/CXErrors.h"
#include "Indexing/idxport/FsPrimitives.h"
#include "Platform/PlatformSleep.h"

namespace {
constexpr int kMaxAttempts = 20;
constexpr unsigned long kRetryWaitMs = 1000;
// recursiveMkdir works on a copy of the path in a buffer of this size, terminating zero included.
constexpr size_t kMkdirBufSize = 1027;

const char* printable(const char* path) { return path != nullptr ? path : "(null)"; }

// Runs attempt() until it succeeds, fails with something other than "permission denied", or
// has failed kMaxAttempts times, waiting kRetryWaitMs before every attempt but the first.
// Only EACCES is retried. On Linux nothing holds a name the way an open handle does elsewhere;
// a denial may still be lifted by another process changing the permissions, and a network file
// system may report a brief denial, which is what the retries are for. EPERM (immutable or
// append-only attributes, a sticky directory owned by someone else) and EBUSY (a mount point)
// describe lasting conditions that waiting does not cure, so they fail at once.
// logFailure(log, error) and logGiveUp(log) write the lines; the logging object is made on the
// first failure only, so a call that succeeds at once costs no debuggable object.
template <typename Attempt, typename LogFailure, typename LogGiveUp>
int retryWhileDenied(const char* prefix, Attempt attempt, LogFailure logFailure, LogGiveUp logGiveUp) {
    std::optional<TDebuggable> log;
    int error = 0;
    for (int n = 0; n < kMaxAttempts; ++n) {
        if (n > 0) YUSLEEP(kRetryWaitMs);
        if (attempt() == 0) return 0;
        error = errno;
        if (!log) {
            log.emplace();
            log->setDebugPrefix(prefix);
        }
        logFailure(*log, error);
        if (error != kErrAccessDenied) {
            errno = error;
            return -1;
        }
    }
    logGiveUp(*log);
    errno = error;
    return -1;
}

// Creates the directory whose path is in buf, making missing parents by cutting buf at its
// separators in place (each cut is put back before returning).
int makeDirectory(char* buf, int mode) {
    auto existsAsDirectory = [buf] {
        if (fsIsDirectory(buf)) return true;
        errno = kErrFileExists;  // a file (or anything else) holds the name
        return false;
    };
    if (fsMkdir(buf, mode) == 0) return 0;
    if (errno == kErrFileExists) return existsAsDirectory() ? 0 : -1;
    if (errno != kErrNotFound) return -1;

    char* sep = std::strrchr(buf, kPathSep);
    if (sep == nullptr) return -1;  // errno is still ENOENT
    *sep = '\0';
    const int parent = makeDirectory(buf, mode);
    *sep = kPathSep;
    if (parent != 0) return -1;
    if (fsMkdir(buf, mode) == 0) return 0;
    // Another process may have made it since the first attempt.
    if (errno == kErrFileExists) return existsAsDirectory() ? 0 : -1;
    return -1;
}
}  // namespace

namespace {
int renameWithRetries(const char* from, const char* to, int (*rename)(const char*, const char*)) {
    return retryWhileDenied(
        "RENAME", [&] { return rename(from, to); },
        [&](TDebuggable& log, int error) {
            log.debug(1, "cannot rename %s to %s, errno %d\n", printable(from), printable(to), error);
        },
        [&](TDebuggable& log) {
            log.debug(1, "cannot rename %s to %s, too many retries (%d)\n", printable(from), printable(to),
                      kMaxAttempts);
        });
}
}  // namespace

int safeRename(const char* from, const char* to) { return renameWithRetries(from, to, fsRename); }

int safeRenameNoReplace(const char* from, const char* to) { return renameWithRetries(from, to, fsRenameNoReplace); }

int safeRmdir(const char* path) {
    return retryWhileDenied(
        "RMDIR", [&] { return fsRmdir(path); },
        [&](TDebuggable& log, int error) { log.debug(1, "cannot rmdir %s, errno %d\n", printable(path), error); },
        [&](TDebuggable& log) {
            log.debug(1, "cannot rmdir %s, too many retries (%d)\n", printable(path), kMaxAttempts);
        });
}

int safeUnlink(const char* path) {
    if (path == nullptr) return 1;
    if (fsUnlink(path) == 0) return 0;
    return errno == kErrNotFound ? 0 : -1;
}

int recursiveMkdir(const char* path, int mode) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    const size_t length = std::strlen(path);
    std::unique_ptr<char[]> buf(length < kMkdirBufSize ? new (std::nothrow) char[kMkdirBufSize] : nullptr);
    if (!buf) {
        errno = kErrPathTooLong;
        return -1;
    }
    std::memcpy(buf.get(), path, length + 1);
    return makeDirectory(buf.get(), mode);
}
