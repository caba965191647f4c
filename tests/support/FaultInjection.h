// Failing the library's file-changing system calls on purpose, through the table of
// Platform/SysCalls.h: fail the N-th call (of one kind or of any kind, optionally only for paths
// that contain a given part) with a chosen errno, kill the process with SIGKILL at it, or only
// count the calls a run makes, so that a loop can then visit every one of them.
//
// One injection at a time per process; it is in force from construction to destruction.
#pragma once

#include <cerrno>
#include <functional>
#include <string>

enum class SysKind {
    Any,
    Open,      // an open that may create or write
    Write,     // write, writev, pwrite, copy_file_range
    Truncate,  // ftruncate
    Sync,      // fsync, fdatasync
    Rename,    // rename, renameat, renameat2
    Link,      // link, symlinkat
    Unlink,    // unlink, unlinkat of a file
    Mkdir,     // mkdir, mkdirat
    Rmdir,     // rmdir, unlinkat of a directory
};

struct FaultPlan {
    SysKind kind = SysKind::Any;
    long at = 0;              // the matching call (from 1) that fails; 0 only counts
    int error = EIO;          // the errno it fails with
    bool kill = false;        // SIGKILL the process at that call instead
    bool persistent = false;  // every matching call from `at` on fails, as on a full disk
    std::string pathPart;     // only calls on a path that contains this (empty: all paths)
};

class FaultInjection {
public:
    explicit FaultInjection(const FaultPlan& plan = {});
    ~FaultInjection();
    FaultInjection(const FaultInjection&) = delete;
    FaultInjection& operator=(const FaultInjection&) = delete;

    // Matching calls seen so far, and how many of them were made to fail.
    long calls() const;
    long injected() const;
    // The last call made to fail, as "<call> <path>", for messages.
    std::string lastInjected() const;
};

// Runs body in a forked child process with plan in force and returns the child's exit code
// (body's result), or 128 + the signal that ended it. For kill plans: the test's own process
// lives on to examine what the killed writer left. Use it while the test has no other threads.
int runInChildWithFaults(const FaultPlan& plan, const std::function<int()>& body);

// The matching calls body makes when nothing fails.
long countSysCalls(const std::function<void()>& body, SysKind kind = SysKind::Any, const std::string& pathPart = "");

// Runs a shell command line; its exit code (128 + the signal that ended it), and what it wrote
// to its standard output in *output when given.
int runCommand(const std::string& command, std::string* output = nullptr);

// The name of an errno for messages ("ENOSPC").
const char* errnoName(int error);
