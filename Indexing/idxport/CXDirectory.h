// Enumerates the entries of one directory and, on that enumeration, copies a directory's files to
// another directory, removes them, sums their sizes and finds an entry by a name fragment,
// optionally descending into subdirectories (one nested object per level). Also reports the free
// and total space of the volume that holds a path.
//
// Entries come in readdir order, "." and ".." included (the walking operations skip those two).
// A name with or without a trailing '/' lists the same entries, and paths are composed without
// doubling that '/'. Below the directory opened, the walks go by descriptor and never through a
// symbolic link, also when a subdirectory is swapped for one while they run: a link is removed
// as a link, copied as a link (the same target text) and counted by its own size.
//
// Every composed path must fit in kPathBufSize characters; one that does not fails the operation
// (last error ENAMETOOLONG) with a log line, it is never cut.
//
// The copy, remove, sum and find operations consume the enumeration: call each on a freshly
// opened object, once.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "Indexing/icommon/TDebuggable.h"
#include "Indexing/idxport/CXErrors.h"
#include "Indexing/idxport/DirectoryStream.h"
#include "Indexing/idxport/PathSep.h"

class CXDirectory : public TDebuggable {
public:
    static constexpr size_t kPathBufSize = 1040;
    static constexpr unsigned long kBlockSize = 1024;  // sizes are reported in these blocks

    CXDirectory();
    ~CXDirectory() override;
    CXDirectory(const CXDirectory&) = delete;
    CXDirectory& operator=(const CXDirectory&) = delete;

    // 0, or -1 with last error kErrNotFound (missing, or a component is not a directory),
    // kErrAccessDenied, another errno value, or kErrWrongState for an empty name. Opening an
    // open object first ends its previous enumeration.
    int open(const char* dirname);
    // The next entry's name (owned by the object), or null: last error 0 at the end, else the
    // error of the failed read.
    char* read();
    int close();
    int getLastError() const { return lastError_; }
    void setRecursion(bool on) { recursion_ = on; }

    // Copies every entry but the one named except (compared ignoring case) into toDir,
    // replacing existing files; with recursion, subdirectories too (existing ones are reused).
    // ignoreCopyError: a file that cannot be copied is logged and skipped (this level only).
    int copyFiles(const char* toDir, const char* except) { return copyFiles(toDir, except, false); }
    int copyFiles(const char* toDir, const char* except, bool ignoreCopyError);
    // Removes every entry but the excepted one (at every level); the directory itself stays.
    int removeFiles(const char* except);
    // Total size in bytes of the entries (with recursion, of the whole tree), or -1. A link
    // counts its own size; without recursion a subdirectory fails the sum (EISDIR).
    int64_t sumSizes();
    // 0: path = directory + '/' + the first entry whose name contains pattern (case-sensitive);
    // 1: none; -1: failure. The third argument has no effect.
    int findFileByPattern(const char* pattern, std::string& path, int unused = 0);

    // Space of the volume holding path, as seen by this process, in whole kilobytes; blockSize
    // is always 1024. The path is queried as given. getFreeSpace leaves the outputs alone when
    // it fails; getFreeSpaceKRMA sets both sizes to 0 then.
    int getFreeSpace(const char* path, uint64_t* availableKB, uint64_t* totalKB, unsigned long* blockSize);
    int getFreeSpaceKRMA(const char* path, uint64_t* availableKB, uint64_t* totalKB, unsigned long* blockSize);

    const std::string& getName() const { return name_; }

    // Test seam: while set, called with a subdirectory's path after a walk decided to descend
    // into it and before it opens it, so that a test can change the tree in that window.
    static void setDescendHookForTests(std::function<void(const char* path)> hook);

private:
    // Opens the subdirectory name (path labels it) of parent's directory, recursion on.
    int openBelow(const CXDirectory& parent, const char* name, const char* path);
    int copyInto(int toFd, const char* toDir, const char* except, bool ignoreCopyError);
    bool removeEntry(const char* name, const char* path, bool directory);
    template <typename VisitDirectory, typename VisitEntry, typename ReadFailed>
    bool walk(const char* except, const char* operation, VisitDirectory visitDirectory, VisitEntry visitEntry,
              ReadFailed readFailed);
    bool composePath(char* buffer, const char* dir, const char* name);
    static bool isDotOrDotDot(const char* name);
    static bool isExcepted(const char* name, const char* except);

    char entry_[256] = {};  // the current entry's name
    DirectoryStream stream_;
    int lastError_ = 0;
    int openFlag_ = 0;
    std::string name_;
    bool recursion_ = false;
};
