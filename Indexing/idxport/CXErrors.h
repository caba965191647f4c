// The error numbers the portable layer reports, named for what they mean. Upper layers compare
// last errors with these, never with raw numbers.
#pragma once

#include <cerrno>

constexpr int kErrNotFound = ENOENT;        // a file, or a directory of its path, does not exist
constexpr int kErrAccessDenied = EACCES;
constexpr int kErrFileExists = EEXIST;      // a new file's name is taken
constexpr int kErrLockViolation = EAGAIN;   // a byte lock is held by another open file
constexpr int kErrNoMemory = ENOMEM;        // a buffer could not be allocated
constexpr int kErrNoSuchProcess = ESRCH;
constexpr int kErrNotEmpty = ENOTEMPTY;
constexpr int kErrNotRegularFile = EINVAL;  // a FIFO, socket or device where a file was asked for

// The library's own codes.
constexpr int kErrWrongState = -1;          // not open, already open, bad argument, ...
constexpr int kErrShortWrite = -2;          // also: a line longer than the caller's buffer
constexpr int kErrNoTempDirectory = -1000;  // CXTempFile: no temporary directory configured
constexpr int kErrNoProcessId = -2000;      // CXTempFile: no id string of this process
