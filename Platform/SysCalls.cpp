#include "Platform/SysCalls.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>

namespace {
int realOpen(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int realOpenat(int dirFd, const char* path, int flags, mode_t mode) { return ::openat(dirFd, path, flags, mode); }
int realMkdir(const char* path, mode_t mode) { return ::mkdir(path, mode); }
int realMkdirat(int dirFd, const char* path, mode_t mode) { return ::mkdirat(dirFd, path, mode); }
ssize_t realCopyFileRange(int in, off_t* inOffset, int out, off_t* outOffset, size_t size, unsigned flags) {
    return ::copy_file_range(in, inOffset, out, outOffset, size, flags);
}

constexpr SysCallTable kReal{realOpen,  realOpenat,  ::write,  ::writev, ::pwrite,    ::ftruncate,
                             ::fsync,   ::fdatasync, ::rename, ::renameat, ::renameat2, ::link,
                             ::symlinkat, ::unlink,  ::unlinkat, realMkdir, realMkdirat, ::rmdir,
                             realCopyFileRange};

// Two tables so that a test's swap never writes the table another thread may be reading from
// the pointer it loaded: the replacement is filled first, then published.
SysCallTable replaced[2];
unsigned nextReplaced = 0;
std::atomic<const SysCallTable*> current{&kReal};
}  // namespace

namespace sys {

const SysCallTable& calls() { return *current.load(std::memory_order_acquire); }

const SysCallTable& realCalls() { return kReal; }

SysCallTable setSysCallsForTesting(const SysCallTable& table) {
    const SysCallTable previous = calls();
    SysCallTable& slot = replaced[nextReplaced];
    nextReplaced ^= 1;
    slot = table;
    current.store(&slot, std::memory_order_release);
    return previous;
}

}  // namespace sys

// The results table writes through SQLite's own VFS, not through the table above. A wrapping VFS,
// registered as the default one, lets its writes, syncs and truncations join the table all the
// same: while a test has its own table in place, each of those calls is first offered to the table
// on a read-only descriptor of the same file, where the test may fail it (or kill the process);
// the real calls cannot change the file through that descriptor and are ignored. With the
// system's table in place the wrapper only forwards: one comparison per call.
#include <sqlite3.h>

#include <cerrno>

namespace {
sqlite3_vfs* realVfs = nullptr;

struct SeamFile {
    sqlite3_file base;
    const char* name;    // valid while the file is open; null for SQLite's nameless temporaries
    int shadowFd;        // opened at the first call offered to a test's table
    sqlite3_file* real;  // the wrapped VFS's file, stored right behind this one
};
constexpr size_t kSeamFileSize = (sizeof(SeamFile) + 15) / 16 * 16;

sqlite3_file* realOf(sqlite3_file* f) { return reinterpret_cast<SeamFile*>(f)->real; }

// True when the table in use fails this call: errno then tells how.
template <typename Call>
bool injected(sqlite3_file* f, Call call) {
    SeamFile* s = reinterpret_cast<SeamFile*>(f);
    if (&sys::calls() == &sys::realCalls() || s->name == nullptr) return false;
    if (s->shadowFd < 0) s->shadowFd = ::open(s->name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    const int fd = s->shadowFd;
    if (fd < 0) return false;
    errno = 0;
    if (call(fd) == 0) return false;
    return errno != EBADF && errno != EINVAL;  // what the read-only descriptor itself answers
}

int ioError(int base) { return errno == ENOSPC || errno == EDQUOT ? SQLITE_FULL : base; }

int seamClose(sqlite3_file* f) {
    SeamFile* s = reinterpret_cast<SeamFile*>(f);
    if (s->shadowFd >= 0) ::close(s->shadowFd);
    s->shadowFd = -1;
    return s->real->pMethods != nullptr ? s->real->pMethods->xClose(s->real) : SQLITE_OK;
}
int seamRead(sqlite3_file* f, void* b, int n, sqlite3_int64 o) { return realOf(f)->pMethods->xRead(realOf(f), b, n, o); }
int seamWrite(sqlite3_file* f, const void* b, int n, sqlite3_int64 o) {
    if (injected(f, [&](int fd) { return sys::pwrite(fd, b, 0, static_cast<off_t>(o)) < 0 ? -1 : 0; }))
        return ioError(SQLITE_IOERR_WRITE);
    return realOf(f)->pMethods->xWrite(realOf(f), b, n, o);
}
int seamTruncate(sqlite3_file* f, sqlite3_int64 size) {
    if (injected(f, [&](int fd) { return sys::ftruncate(fd, static_cast<off_t>(size)); }))
        return ioError(SQLITE_IOERR_TRUNCATE);
    return realOf(f)->pMethods->xTruncate(realOf(f), size);
}
int seamSync(sqlite3_file* f, int flags) {
    if (injected(f, [](int fd) { return sys::fsync(fd); })) return ioError(SQLITE_IOERR_FSYNC);
    return realOf(f)->pMethods->xSync(realOf(f), flags);
}
int seamFileSize(sqlite3_file* f, sqlite3_int64* size) { return realOf(f)->pMethods->xFileSize(realOf(f), size); }
int seamLock(sqlite3_file* f, int level) { return realOf(f)->pMethods->xLock(realOf(f), level); }
int seamUnlock(sqlite3_file* f, int level) { return realOf(f)->pMethods->xUnlock(realOf(f), level); }
int seamCheckReservedLock(sqlite3_file* f, int* out) {
    return realOf(f)->pMethods->xCheckReservedLock(realOf(f), out);
}
int seamFileControl(sqlite3_file* f, int op, void* arg) { return realOf(f)->pMethods->xFileControl(realOf(f), op, arg); }
int seamSectorSize(sqlite3_file* f) { return realOf(f)->pMethods->xSectorSize(realOf(f)); }
int seamDeviceCharacteristics(sqlite3_file* f) { return realOf(f)->pMethods->xDeviceCharacteristics(realOf(f)); }
int seamShmMap(sqlite3_file* f, int page, int size, int extend, void volatile** out) {
    return realOf(f)->pMethods->xShmMap(realOf(f), page, size, extend, out);
}
int seamShmLock(sqlite3_file* f, int offset, int n, int flags) {
    return realOf(f)->pMethods->xShmLock(realOf(f), offset, n, flags);
}
void seamShmBarrier(sqlite3_file* f) { realOf(f)->pMethods->xShmBarrier(realOf(f)); }
int seamShmUnmap(sqlite3_file* f, int deleteFlag) { return realOf(f)->pMethods->xShmUnmap(realOf(f), deleteFlag); }
int seamFetch(sqlite3_file* f, sqlite3_int64 o, int n, void** out) {
    return realOf(f)->pMethods->xFetch(realOf(f), o, n, out);
}
int seamUnfetch(sqlite3_file* f, sqlite3_int64 o, void* p) { return realOf(f)->pMethods->xUnfetch(realOf(f), o, p); }

// One method table per version of the wrapped file's, so that SQLite asks only for what it has.
sqlite3_io_methods methodsOfVersion(int version) {
    sqlite3_io_methods m{version,      seamClose,     seamRead,       seamWrite,     seamTruncate,
                         seamSync,     seamFileSize,  seamLock,       seamUnlock,    seamCheckReservedLock,
                         seamFileControl, seamSectorSize, seamDeviceCharacteristics, seamShmMap, seamShmLock,
                         seamShmBarrier, seamShmUnmap, seamFetch,     seamUnfetch};
    if (version < 2) m.xShmMap = nullptr, m.xShmLock = nullptr, m.xShmBarrier = nullptr, m.xShmUnmap = nullptr;
    if (version < 3) m.xFetch = nullptr, m.xUnfetch = nullptr;
    return m;
}
const sqlite3_io_methods kMethods[4] = {methodsOfVersion(0), methodsOfVersion(1), methodsOfVersion(2),
                                         methodsOfVersion(3)};

int seamOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* f, int flags, int* outFlags) {
    SeamFile* s = reinterpret_cast<SeamFile*>(f);
    s->base.pMethods = nullptr;
    s->name = nullptr;
    s->shadowFd = -1;
    s->real = reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(f) + kSeamFileSize);
    s->real->pMethods = nullptr;
    const int rc = realVfs->xOpen(realVfs, name, s->real, flags, outFlags);
    if (s->real->pMethods == nullptr) return rc;
    const int version = s->real->pMethods->iVersion;
    s->base.pMethods = &kMethods[version < 0 ? 0 : version > 3 ? 3 : version];
    if (rc == SQLITE_OK) s->name = name;
    return rc;
}
int seamDelete(sqlite3_vfs*, const char* name, int syncDir) { return realVfs->xDelete(realVfs, name, syncDir); }
int seamAccess(sqlite3_vfs*, const char* name, int flags, int* out) {
    return realVfs->xAccess(realVfs, name, flags, out);
}
int seamFullPathname(sqlite3_vfs*, const char* name, int n, char* out) {
    return realVfs->xFullPathname(realVfs, name, n, out);
}
void* seamDlOpen(sqlite3_vfs*, const char* name) { return realVfs->xDlOpen(realVfs, name); }
void seamDlError(sqlite3_vfs*, int n, char* out) { realVfs->xDlError(realVfs, n, out); }
void (*seamDlSym(sqlite3_vfs*, void* handle, const char* symbol))(void) { return realVfs->xDlSym(realVfs, handle, symbol); }
void seamDlClose(sqlite3_vfs*, void* handle) { realVfs->xDlClose(realVfs, handle); }
int seamRandomness(sqlite3_vfs*, int n, char* out) { return realVfs->xRandomness(realVfs, n, out); }
int seamSleep(sqlite3_vfs*, int us) { return realVfs->xSleep(realVfs, us); }
int seamCurrentTime(sqlite3_vfs*, double* out) { return realVfs->xCurrentTime(realVfs, out); }
int seamGetLastError(sqlite3_vfs*, int n, char* out) { return realVfs->xGetLastError(realVfs, n, out); }
int seamCurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* out) { return realVfs->xCurrentTimeInt64(realVfs, out); }

sqlite3_vfs seamVfs{};

// Registered when the library is loaded, before any table is opened.
const bool seamVfsRegistered = [] {
    realVfs = sqlite3_vfs_find(nullptr);
    if (realVfs == nullptr || realVfs->iVersion < 2) return false;
    seamVfs = sqlite3_vfs{2,           static_cast<int>(kSeamFileSize) + realVfs->szOsFile,
                          realVfs->mxPathname, nullptr, "vornica-seam", nullptr,
                          seamOpen,    seamDelete,  seamAccess,  seamFullPathname, seamDlOpen, seamDlError,
                          seamDlSym,   seamDlClose, seamRandomness, seamSleep, seamCurrentTime, seamGetLastError,
                          seamCurrentTimeInt64, nullptr, nullptr, nullptr};
    return sqlite3_vfs_register(&seamVfs, 1) == SQLITE_OK;
}();
}  // namespace
