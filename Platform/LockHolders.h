// Who holds a byte lock on a file, asked by an administrator without ever waiting behind it.
//
// An open-file-description lock shows as pid -1 in /proc/locks and in F_OFD_GETLK, so the
// holders are found from /proc/<pid>/fdinfo/<fd>: a descriptor that holds such a lock lists it
// ("lock: 1: OFDLCK ADVISORY WRITE -1 <major>:<minor>:<inode> <start> <end>"). Only this host's
// processes can be seen, and the descriptors of other accounts only by root.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class LockHeld { None, Shared, Exclusive };

struct LockProbe {
    LockHeld held = LockHeld::None;
    uint64_t device = 0;  // the probed file's identity, for findLockHolders
    uint64_t inode = 0;
};

// Asks whether any open file holds the byte at offset of path (a regular file, never through a
// symbolic link): a non-blocking F_OFD_GETLK on a read-only descriptor that takes no lock.
// 0, or the errno value (ELOOP for a link, EINVAL for anything but a regular file).
int probeByteLock(const char* path, int64_t offset, LockProbe& out);

struct LockHolder {
    long pid = 0;
    int fd = -1;
    bool exclusive = false;
    std::string command;  // the command line, arguments joined by blanks; empty when unreadable
};

struct LockHolderScan {
    std::vector<LockHolder> holders;  // sorted by pid, then descriptor
    // Processes whose descriptors could not be read (another account without root): a holder
    // may hide among them.
    unsigned unreadableProcesses = 0;
};

// The processes of this host that hold a lock covering the byte at offset of the file the probe
// identified. 0, or the errno value when /proc cannot be listed.
int findLockHolders(const LockProbe& file, int64_t offset, LockHolderScan& out);

// /proc/<pid>/cmdline with its arguments joined by blanks; empty when it cannot be read.
std::string processCommandLine(long pid);
