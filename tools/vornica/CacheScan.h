// What the cache commands know of one cache directory, read without taking any lock: the State
// file's bytes decoded, whether a process holds its lock now, and, when asked, its size.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Platform/LockHolders.h"
#include "tools/vornica/Tool.h"

struct StateInfo {
    int error = 0;        // errno of the read; 0 when read
    int state = -1;       // 0..3, -1 when the bytes name none
    uint32_t atime = 0;   // line 2; 0 when missing
    std::string lineEnd;  // "LF" or "CRLF"
    std::string problem;  // why the bytes are damaged; empty when sound
    std::string bytes;    // as read
    bool sound() const { return error == 0 && problem.empty(); }
    std::string describe() const;  // the state's name, or what is wrong
};
const char* stateName(int state);
StateInfo readState(const std::string& directory);

struct CacheEntry {
    std::string path;
    uint32_t talCell = 0, app = 0, timeStamp = 0;
    StateInfo state;
    int probeError = 0;  // errno of the lock probe (ENOENT: no State file)
    LockProbe probe;
    bool sized = false;
    int sizeError = 0;
    uint64_t sizeBytes = 0;
    std::string sizeFailedPath;

    bool held() const { return probeError == 0 && probe.held != LockHeld::None; }
    const char* heldName() const;  // none | shared | exclusive | unknown
    // The time the library's cleanups sort and age by: the access time (0 when unreadable).
    uint32_t cleanupTime() const { return state.atime; }
};

// Probes the State lock (non-blocking, no lock taken) and, when asked, measures the size.
void inspect(CacheEntry& entry, bool withSize);

// Every root/<talCell>/<app>/<timeStamp> directory (numeric names, never through a link), app 0
// meaning all; sorted by talCell, app, time stamp. problems gets a line for each directory of
// the tree that could not be listed.
std::vector<CacheEntry> scanCache(const std::string& root, uint32_t app, bool withSize,
                                  std::vector<std::string>& problems);

// The entry for a directory named on the command line: root/talCell/app/timeStamp, where the
// last three components are numbers. A usage failure otherwise.
CacheEntry entryForPath(const std::string& path, bool withSize);

// The cut-off before which the cleanup settings call a directory old (0: nothing is old).
uint32_t cleanupCutoff(const JobResultsCacheFs& fs, uint32_t now);
uint32_t parseAppNumber(const std::string& text);  // usage failure for anything but a number > 0
