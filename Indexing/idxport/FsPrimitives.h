// The file-system calls that the layers above the portable layer need, one thin function each,
// so that Indexing/icommon and the cache code never call the operating system themselves.
//
// The int functions return 0 on success and -1 on failure with the C error number in errno
// (compare it with the constants of CXErrors.h). A null path fails with EINVAL. Nothing is
// logged and nothing is retried here: the callers decide (see SafeFileOps.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "Indexing/idxport/PathSep.h"

// Renames from to to. POSIX semantics: an existing file (or empty directory) named to is
// replaced without notice; callers that must not lose it use fsRenameNoReplace.
int fsRename(const char* from, const char* to);

// Renames from to to only while no entry named to exists, in one step (EEXIST otherwise): a
// check followed by a rename would let another process slip in between. Where the file system
// refuses the no-replace flag (EINVAL, ENOSYS: NFS, SMB and many FUSE file systems), the same
// guarantee comes from steps that are atomic there: a file (or link) is renamed by a hard link to
// the new name and the removal of the old one; a directory claims the new name with mkdir (EEXIST
// when anything has it) and is renamed onto that empty directory of its own, which goes again
// when the rename fails.
int fsRenameNoReplace(const char* from, const char* to);

// Test seam: while set, fsRenameNoReplace calls this instead of the system's renameat2, so that a
// test can stand for a file system that refuses the no-replace flag. nullptr restores the system.
using FsRenameAt2 = int (*)(int fromDir, const char* from, int toDir, const char* to, unsigned flags);
void setFsRenameAt2ForTests(FsRenameAt2 call);

// Removes an empty directory.
int fsRmdir(const char* path);

// Deletes a file (or a symbolic link, not its target). A directory fails (EISDIR).
int fsUnlink(const char* path);

// Creates one directory; its parent must exist. mode is the creation mode, applied as given
// and reduced by the process's umask.
int fsMkdir(const char* path, int mode);

// True when a directory entry of that name exists (a symbolic link counts, even a dangling
// one). False otherwise, with errno telling why.
bool fsExists(const char* path);

// The C access test for existence only, following symbolic links: 0 when the path exists,
// -1 with errno (ENOENT, EACCES, ...) otherwise.
int fsAccessExists(const char* path);
// The modification time of path in seconds since 1970: 0, or -1 with errno.
int fsModificationTime(const char* path, uint32_t& seconds);
// True when the open descriptor fd is still the file that path names (same device and inode;
// a symbolic link at path is not its target) and that file is not unlinked. A lock granted on
// a file that another process removed or replaced meanwhile guards nothing.
bool fsDescriptorIsAt(int fd, const char* path);

// True when path names a directory, following symbolic links. False otherwise, with errno set
// when the path could not be examined (0 when it exists but is not a directory).
bool fsIsDirectory(const char* path);

// Reads up to size bytes from the start of the regular file at path into buffer; got tells how
// many (fewer at the end of the file). Only a regular file is read: a symbolic link at path is
// refused (ELOOP) and not followed, a directory fails with EISDIR, and a FIFO, socket or device
// with EINVAL, without waiting for a FIFO's writer. For small files that other processes or a
// damaged disk may have left in any shape.
int fsReadFileHead(const char* path, char* buffer, size_t size, size_t& got);
