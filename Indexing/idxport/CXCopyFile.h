// Copies one file's contents, replacing an existing target.
#pragma once

// The copy is written under a temporary name in the target's directory and renamed over the
// target only when complete, so a failed copy leaves an existing target as it was. The copy gets
// the source's permission bits (subject to the umask) and modification time. A source that is
// not a regular file fails (EISDIR for a directory). Returns 0, or -1 with *error (when given)
// set to the errno value (kErrNotFound also for a missing directory of either path) and a log
// line.
int CXCopyFile(const char* from, const char* to, int* error);

// The copy of the directory walks: the entry name of the directory open as fromDir goes to the
// same name in the directory open as toDir, never through a symbolic link. A regular file is
// copied as above; a link is copied as a link, with the same target text, and what it points to
// is never read. from and to are the two paths, for the log line.
int CXCopyFileBelow(int fromDir, int toDir, const char* name, const char* from, const char* to, int* error);
