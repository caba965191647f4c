// The one place where the library changes files: a table of the system calls that write, sync,
// create, rename or remove, through which the portable layer and the platform services call.
// By default the entries are the system's own calls; a test may put its own in their place
// (tests/support/FaultInjection.h) to fail the N-th write with ENOSPC or kill the process at a
// rename, and so prove that every writer keeps what was committed whatever goes wrong.
//
// The table lives in Platform because the portable layer includes Platform and not the other way
// round: both reach it here. It is internal: no caller of the library uses it.
//
// Calls that only read (open for reading, read, stat, directory listings) are not in the table;
// an open goes through it when it may write or create (O_WRONLY, O_RDWR, O_CREAT, O_TRUNC).
// The results table's SQLite joins through a wrapping VFS registered as the default one
// (SysCalls.cpp): its writes, syncs and truncations are offered to a test's table first.
#pragma once

#include <sys/types.h>

#include <cstddef>

struct iovec;

struct SysCallTable {
    int (*open)(const char* path, int flags, mode_t mode);
    int (*openat)(int dirFd, const char* path, int flags, mode_t mode);
    ssize_t (*write)(int fd, const void* data, size_t size);
    ssize_t (*writev)(int fd, const struct iovec* vector, int count);
    ssize_t (*pwrite)(int fd, const void* data, size_t size, off_t offset);
    int (*ftruncate)(int fd, off_t length);
    int (*fsync)(int fd);
    int (*fdatasync)(int fd);
    int (*rename)(const char* from, const char* to);
    int (*renameat)(int fromDir, const char* from, int toDir, const char* to);
    int (*renameat2)(int fromDir, const char* from, int toDir, const char* to, unsigned flags);
    int (*link)(const char* from, const char* to);
    int (*symlinkat)(const char* target, int dirFd, const char* path);
    int (*unlink)(const char* path);
    int (*unlinkat)(int dirFd, const char* path, int flags);
    int (*mkdir)(const char* path, mode_t mode);
    int (*mkdirat)(int dirFd, const char* path, mode_t mode);
    int (*rmdir)(const char* path);
    ssize_t (*copyFileRange)(int in, off_t* inOffset, int out, off_t* outOffset, size_t size, unsigned flags);
};

namespace sys {

// The table in use. One load and one indirect call: no measurable cost against the call itself
// (bench/bench_syscall_seam.cpp).
const SysCallTable& calls();
// The system's own calls.
const SysCallTable& realCalls();

// The table's entries as functions, with the real calls' conventions (-1 and errno).
inline int open(const char* path, int flags, mode_t mode = 0) { return calls().open(path, flags, mode); }
inline int openat(int dirFd, const char* path, int flags, mode_t mode = 0) {
    return calls().openat(dirFd, path, flags, mode);
}
inline ssize_t write(int fd, const void* data, size_t size) { return calls().write(fd, data, size); }
inline ssize_t writev(int fd, const struct iovec* vector, int count) { return calls().writev(fd, vector, count); }
inline ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
    return calls().pwrite(fd, data, size, offset);
}
inline int ftruncate(int fd, off_t length) { return calls().ftruncate(fd, length); }
inline int fsync(int fd) { return calls().fsync(fd); }
inline int fdatasync(int fd) { return calls().fdatasync(fd); }
inline int rename(const char* from, const char* to) { return calls().rename(from, to); }
inline int renameat(int fromDir, const char* from, int toDir, const char* to) {
    return calls().renameat(fromDir, from, toDir, to);
}
inline int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
    return calls().renameat2(fromDir, from, toDir, to, flags);
}
inline int link(const char* from, const char* to) { return calls().link(from, to); }
inline int symlinkat(const char* target, int dirFd, const char* path) {
    return calls().symlinkat(target, dirFd, path);
}
inline int unlink(const char* path) { return calls().unlink(path); }
inline int unlinkat(int dirFd, const char* path, int flags) { return calls().unlinkat(dirFd, path, flags); }
inline int mkdir(const char* path, mode_t mode) { return calls().mkdir(path, mode); }
inline int mkdirat(int dirFd, const char* path, mode_t mode) { return calls().mkdirat(dirFd, path, mode); }
inline int rmdir(const char* path) { return calls().rmdir(path); }
inline ssize_t copyFileRange(int in, off_t* inOffset, int out, off_t* outOffset, size_t size, unsigned flags) {
    return calls().copyFileRange(in, inOffset, out, outOffset, size, flags);
}

// Puts table in place of the calls in use and returns the table it replaced (restore it with a
// second call). For tests only: switch while no other thread of the process writes files.
SysCallTable setSysCallsForTesting(const SysCallTable& table);

}  // namespace sys
