// Copies one file's contents, replacing an existing target.
#pragma once

// The copy is written under a temporary name in the target's directory and renamed over the
// target only when complete, so a failed copy leaves an existing target as it was. The copy gets
// the source's permission bits (subject to the umask) and modification time. A source that is
// not a regular file fails (EISDIR for a directory). Returns 0, or -1 with *error (when given)
// set to the errno value (kErrNotFound also for a missing directory of either path) and a log
// line.
int CXCopyFile(const char* from, const char* to, int* error);
