// Sorting a text file in place, line by line, through the batch sorter, optionally keeping only
// the first or last N lines of the result.
//
// Files used for a sort of F, each under a fresh name of this host, process and a random part
// (TempNames::make), made new so that nothing planted at a name is followed: the sorter writes
// F.sorted.<...>, with the work directory F.sortwork.<...> (mode 0700, removed at the end) for
// its runs; top-N limiting writes F.top.<...>. Both files get F's mode and owner before they hold
// a byte. The result is synced and replaces F by a rename, in one step: F is untouched whenever
// the call fails, and holds the whole result, with its mode and owner, when it succeeds, also
// after a power loss. What killed sorts of F on this host left is removed by the next sort. Every output line ends
// in CR LF. Both functions log at level 1 through a temporary debuggable object, prefixes
// "SORTANDREPLACE" and "SORTANDREPLACEEX"; every failure returns -1 after one line naming F,
// the temporary file and the work directory.
#pragma once

#include <cstdint>
#include <string>

// How sortAndReplaceEx orders, passed as a number; any other value sorts like 1.
enum BatchSortListSortCriteria {
    BatchSortListSortUnique = 0,    // byte order, only the first of equal lines kept (the sorter's flag2)
    BatchSortListSortAll = 1,       // byte order, every line kept
    BatchSortListSortByColumn = 2,  // by one column (BatchSortByColumn)
};

// Sorts file in place with the plain batch sort: flag2 keeps only the first of equal lines,
// flag3 compares ignoring the case of ASCII letters, keeping lines that fold alike in their
// input order (as `LC_ALL=C sort -f -s`; see BatchSort::init). 0 or -1.
int sortAndReplace(const char* file, bool flag2, bool ascending, bool flag3);

// Sorts file in place by criteria; column, separators, columnType and reserved are those of
// BatchSortByColumn and only used with BatchSortListSortByColumn. topN < 1 keeps every line.
// topN >= 1 keeps N lines of the sorted result: the last N when ascending with criteria other
// than 0 and 1 (by column: the N largest), the first N otherwise. Lines of any length are
// copied whole, as the sorter wrote them. A read or write failure during the copy fails the
// call ("read failed for file '%s' tmpFile '%s' workdir '%s'", "write failed ...") and leaves
// F as it was. 0 or -1.
int sortAndReplaceEx(const char* file, BatchSortListSortCriteria criteria, int topN, bool ascending, bool flag3,
                     unsigned int column, std::string separators, short columnType, uint64_t reserved);
