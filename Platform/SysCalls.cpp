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
