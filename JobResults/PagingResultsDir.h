// The directory of a paging file (the temporary directory), in the part a job's results
// directory plays for results kept in a job's directory. Making one deletes the paging files
// of that temporary directory that are more than a day old.
//
// The bool operations return false on success and true on failure.
#pragma once
#include <cstdint>

#include "Indexing/icommon/TDebuggable.h"

// The directory where paging files live for clientName (see PagingResultsDir.cpp for the
// choice by role). The text is this thread's and stays valid until its next call; never null
// (empty when there is none).
const char* getHalcyTempDir(const char* clientName);

class PagingResultsDir : public TDebuggable {
public:
    static constexpr const char* kPagingPrefix = "PagingFile_";
    static constexpr long kMaxAgeSeconds = 86400;
    // The machine-wide locks of the temporary directory, and how long one is waited for: a
    // cleanup that is not granted the lock in time is left to the next directory object, a
    // search fails (logged).
    static constexpr const char* kCleanupLock = "PAGING_CLEANUP";
    static constexpr const char* kSearchLock = "PAGING_FILESEARCH";
    static constexpr unsigned long kLockWaitMs = 60000;

    // Seconds since 1970, as the age cleanup and the restore filter names see them.
    static int64_t now();
    // Test seam: while set, now() calls this instead of the clock. nullptr restores the clock.
    static void setClockForTests(int64_t (*clock)());

    explicit PagingResultsDir(const char* clientName);
    ~PagingResultsDir() override;
    PagingResultsDir(const PagingResultsDir&) = delete;
    PagingResultsDir& operator=(const PagingResultsDir&) = delete;

    void setPath(const char* path);
    const char* getPath() const { return path_; }
    bool open();
    bool close();
    bool isOpen() const { return isOpen_; }

private:
    void removeOldPagingFiles(const char* clientName);
    char* path_ = nullptr;  // owned
    bool isOpen_ = false;
};
