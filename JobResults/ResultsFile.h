// The kinds of results file, and the names of their files: a fixed file name in a job's
// results directory, or an extension for paging files in the temporary directory.
#pragma once
#include <cstdint>

enum ResultsFile : uint32_t {
    kResultsNone = 0,
    kResultsBackup = 1,        // "backup.out"
    kResultsRestore = 2,       // "restore.out"
    kResultsCrossCheck = 3,    // "crosscheck.out"
    kResultsScrapeText = 4,    // "scrapetext.out"
    kPagingBackup = 5,         // ".bkp"
    kPagingLog = 6,            // ".log"
    kPagingKind7 = 7,          // map kept in the temporary directory
    kRestoreSucceeded = 8,     // ".s_rst": restore results of statuses 1, 2, 5, 11
    kRestoreFailed = 9,        // ".f_rst": 3, 10, 12
    kRestoreSkipped = 10,      // ".sk_rst": 4, 6, 7, 8
    kPagingRac = 11,           // ".rac"
    kPagingKind12 = 12,        // map kept in the temporary directory
    kPagingCdr = 13,           // ".cdr"
    kPagingKind20 = 20,        // map kept in the temporary directory
    kResultsSuccessStubCollect = 21,  // "SuccessStubCollect.krf"
};

// The results file's name in a job's directory; null for a kind that has none.
const char* resultsFileName(uint32_t kind);
// The paging file's extension (with its dot); null for a kind that has none.
const char* pagingFileExtension(uint32_t kind);
// Kinds 8, 9 and 10: restore results filtered by status.
inline bool isRestoreFilterKind(uint32_t kind) { return kind >= kRestoreSucceeded && kind <= kRestoreSkipped; }
// Kinds whose map is kept in the client's temporary directory.
inline bool mapInTempDirectory(uint32_t kind) { return kind == kPagingKind7 || kind == kPagingKind12 || kind == kPagingKind20; }
