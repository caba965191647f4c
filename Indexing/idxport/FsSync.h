// Making written files and renames durable: for a file written whole under a temporary name and
// then renamed into place, the file is synced before the rename and its directory after it, so
// that a crash leaves either the old state or the complete new file, never a renamed part.
//
// 0 on success, -1 with the C error number in errno.
#pragma once

// Writes the data of the regular file at path out to its device (a symbolic link is refused).
int fsSyncFile(const char* path);
// Writes the directory's entries (renames, creations, removals) out to its device.
int fsSyncDirectory(const char* path);
