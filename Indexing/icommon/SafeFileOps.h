// Renaming and removing that tolerate the brief denials of a busy file system, a delete that
// treats a missing file as done, and a directory creation that creates the missing parents.
//
// Every failure returns -1 and leaves the C error number in errno for the caller, who adds its
// own message. No function holds a lock; any thread may call them.
#pragma once

// errno of recursiveMkdir for a path too long for its buffer (or a buffer it could not get).
constexpr int kErrPathTooLong = -777;

// Renames from to to. A failure with "permission denied" (EACCES) is retried: up to 20
// attempts, one second apart; any other error ends the call at once. Every failed attempt is
// logged (prefix "RENAME"), so a caller's log may show up to 21 lines for one rename.
// As with the C rename, an existing file named to is replaced: callers that must keep it use
// safeRenameNoReplace.
// 0 on success; -1 with the last attempt's error in errno.
int safeRename(const char* from, const char* to);

// safeRename that never replaces: an existing entry named to fails the call at once with
// EEXIST (see fsRenameNoReplace). Retries and log lines as safeRename.
int safeRenameNoReplace(const char* from, const char* to);

// Removes an empty directory, retrying "permission denied" exactly as safeRename does (prefix
// "RMDIR"). 0 on success; -1 with the last attempt's error in errno.
int safeRmdir(const char* path);

// Deletes a file. 0 when it was deleted or did not exist (ENOENT); -1 on any other failure;
// 1 for a null path. Nothing is logged or retried.
int safeUnlink(const char* path);

// Creates the directory path and every missing parent, outermost first; parents are found by
// cutting at kPathSep. mode is the creation mode of each directory made (reduced by the
// umask). 0 when path is a directory afterwards (also when it already was); -1 otherwise with
// errno set: -777 (kErrPathTooLong) for a path of 1027 characters or more, EEXIST when
// something other than a directory holds the name.
int recursiveMkdir(const char* path, int mode);
