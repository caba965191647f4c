// Read-only looks at a file system for an administrator: how much a tree holds, how full its
// volume is, what kind of file system it is and how it is mounted, and real probes of the lock
// and rename calls the cache relies on.
#pragma once

#include <cstdint>
#include <string>

struct TreeUsage {
    uint64_t bytes = 0;  // space allocated to the tree's files and directories
    uint64_t files = 0;
};

// Walks path without following any symbolic link (a link counts as its own small entry).
// 0, or the errno value of the first entry that could not be read (EACCES for a directory that
// may not be listed): a walk never reports a total over entries it did not see.
int treeUsage(const char* path, TreeUsage& out, std::string* failedPath = nullptr);

struct VolumeSpace {
    uint64_t availableBytes = 0;  // to unprivileged users
    uint64_t totalBytes = 0;
};
// 0, or the errno value.
int volumeSpace(const char* path, VolumeSpace& out);

struct MountInfo {
    std::string fsType;      // "ext4", "nfs4", "tmpfs", ...
    std::string mountPoint;  // the mount that holds the path
    std::string options;     // mount and super-block options, comma separated
};
// The mount that holds path, from /proc/self/mountinfo: 0, or the errno value.
int mountOf(const char* path, MountInfo& out);

struct PathAccess {
    bool exists = false;
    bool isDirectory = false;
    bool writable = false;  // by this account (access W_OK|X_OK)
    unsigned mode = 0;      // permission bits 07777
    unsigned uid = 0;
    unsigned gid = 0;
    std::string group;      // the group's name, or its number
};
// 0 (exists tells whether there is anything), or the errno value of lstat other than ENOENT.
int pathAccess(const char* path, PathAccess& out);

// Real probes in a scratch file that the probe makes (O_EXCL, a temporary name of this host and
// process) in directory and removes again: whether an open-file-description lock on one open
// file keeps a second one out, and whether a rename refuses to replace an existing name.
// 0 with the answers, or the errno value when the scratch file cannot be made.
int probeLocksAndRenames(const char* directory, bool& ofdLocksWork, bool& noReplaceRenameWorks, std::string& detail);

// True when standard error is a terminal (progress lines go there only then).
bool stderrIsTerminal();
