// Replacing a small file by a rewritten copy, so that readers see the old content or the new,
// never a part: the copy is a temporary file in the same directory, written, given the mode
// and owner of the file it replaces, synced and renamed over it. Also the pieces of that for a
// file that another component writes (the sorter's output).
//
// Functions that return int give 0 on success or the C error number of the failure.
#pragma once

#include <string>

// The permission bits (set-id and sticky bits included) and owner of a file.
struct FileOwnership {
    unsigned mode = 0;
    unsigned uid = 0;
    unsigned gid = 0;
};

// Reads the whole file. A failure (ENOENT for a missing file) leaves text empty: never a part.
// ownership, when given, receives that of the file read.
int readWholeFile(const std::string& path, std::string& text, FileOwnership* ownership = nullptr);

// The ownership of the file at path (following a final symbolic link) or of an open file.
int ownershipOf(const std::string& path, FileOwnership& ownership);
int ownershipOfDescriptor(int fd, FileOwnership& ownership);

// Gives the open file fd the ownership: the owner first (only when it differs; it takes the
// right to change it, and a change of owner clears the set-id bits), then the mode.
int giveOwnership(int fd, const FileOwnership& ownership);

// Gives the file at `to` the ownership of the file at `from`; `to` is not followed when it is
// a symbolic link (ELOOP).
int copyOwnership(const std::string& from, const std::string& to);

// Replaces the file at path by content as described above. The temporary file is named
// TempNames::make(path, "tmp") and created exclusively, so that writers on several hosts sharing
// the directory never take each other's half-written file. keep: the ownership to give the
// new file; null for a new file, which gets newFileMode less the umask. The temporary file is
// removed when anything fails, and the file at path is then as it was.
// failed, when given, tells which step a failure came from.
enum class RewriteStep { Create, Write, Finish };
int rewriteFile(const std::string& path, const std::string& content, const FileOwnership* keep,
                unsigned newFileMode = 0644, RewriteStep* failed = nullptr);

// rewriteFile for a file that may have been left in any shape: the entry at path is never
// followed or opened. A regular file there hands on its mode (and its owner and group where this
// process may give them); a missing entry, a symbolic link or another kind of file is replaced by
// a new file of newFileMode less the umask.
int rewriteFileKeepingMode(const std::string& path, const std::string& content, unsigned newFileMode,
                           RewriteStep* failed = nullptr);

// Removes, beside path, what killed writers left of kind tag (names TempNames::make(path, tag)):
// the leftovers TempNames::isLeftover tells (this host's names of processes that no longer run,
// other hosts' names unchanged for a week), files and directories (with the files in them); a
// symbolic link there is removed, never followed. Names of running processes of this host and
// younger names of other hosts are left alone. The number of entries removed.
int removeDeadTemporaries(const std::string& path, const std::string& tag);
