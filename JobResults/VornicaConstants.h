// The numbers a program using the library passes and receives, by name: the application types
// given to the index cache classes, and the codes that end a page reply of job results.
#pragma once

#include <cstdint>

#include "Indexing/cacheFs/CacheTypes.h"

// Application types (the first argument of JobResultsCacheDir and JobResultsCacheFs).
// An index cache whose directories backups write and restores read.
constexpr KRAppType kAppTypeIndex = 1;
// An index cache that is read but never backed up or restored from (no backup/restore locks).
constexpr KRAppType kAppTypeIndexNoBackupRestore = 7;
// kAppTypeOptionalIndex (1000, "KR_Opt1") and kAppTypeJobResults (1001, a client's job results
// cache, "KR_JobResults") come from CacheTypes.h. Any other type is refused: the directory
// object stays unusable and getErrno() is EINVAL.

// The code in the end frame of a page reply (RetrieveResults::getPage, ReturnDataReader::endCode).
enum PageEndCode : int64_t {
    kPageDone = 0,            // the lines asked for, or fewer at the end; also an empty results file
    kPageNotInitialized = 1,  // the reader was not initialized (no job results directory)
    kPageDirOpen = 2,         // the job's results directory could not be opened
    kPageUnavailable = 3,     // the results file or its map could not be opened or made
    kPageBeyondEnd = 4,       // the first line asked for is past the last line
    kPageMapRead = 5,         // the line map could not be read
    kPageLineRead = 6,        // a line could not be read (or is longer than 100 KB)
};
