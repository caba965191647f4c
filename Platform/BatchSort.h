// The product's batch sorter: sorts the lines of a text file of any size into another file by
// an external merge sort within a fixed memory budget.
//
// How it works. sort() allocates one buffer of at most the memory budget and reuses it for
// everything: the input is read into it in large chunks, the lines stay where they were read and
// an index of 16 bytes a line (offset, length and the first eight bytes as a number; 32 bytes
// with a derived class's comparison, sorted by a merge sort) grows from the buffer's other
// end. When the two meet, the index is sorted and the lines are written, in
// order, as one run file in the work directory, and the buffer is filled again. When the whole
// input fits at once no run file is written at all. Otherwise the runs are merged, up to
// kMaxFanIn at a time (fewer when the buffer cannot give each at least two line limits of read
// buffer), through fixed read buffers carved from the same block; with more runs than that,
// earlier passes merge groups of consecutive runs until one merge can take the rest, and the
// last pass writes the output. Run files are removed as soon as they are merged, and all of
// them when the sort fails. Memory stays within the budget plus a few kilobytes of bookkeeping.
//
// Lines. A line ends at a line feed; a carriage return just before it belongs to the line end,
// so files with LF and CR LF ends (or both) are read alike. Any other byte, '\0' and a lone
// carriage return included, is part of the line. A last line without a line end counts as a
// line (a carriage return at the very end of the file is dropped). Every output line ends in
// CR LF, as the library's text files do. A line longer than the line limit (line end not
// counted) fails the sort before the output file is touched.
//
// Order. The default comparison is plain byte order (unsigned bytes; a line that is a prefix of
// another comes first), so an ascending sort gives what `LC_ALL=C sort` gives. A derived class
// may replace the comparison (Sortable::compare); the sorter then calls it for every pair it
// orders and does not change its results: a descending sort is the comparison's business. A
// comparison by keys (Sortable::usesKeys) has each line's key made once as the line is read:
// the keys of a run are kept in the buffer, below the line's index entry (which then takes 48
// bytes and the key), and those of the lines being merged beside the merge. Lines that compare
// equal keep their input order in every case (a stable sort).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "Platform/AtomicRewrite.h"
#include "Platform/Sortable.h"

class BatchSort : public Sortable {
public:
    static constexpr size_t kDefaultMemoryBudget = size_t(64) << 20;   // 64 MiB
    static constexpr size_t kDefaultMaxLineLength = size_t(1) << 20;   // 1 MiB
    // The largest budget used: line offsets in the buffer are 32-bit.
    static constexpr size_t kMaxMemoryBudget = size_t(3) << 30;
    static constexpr size_t kMaxFanIn = 64;

    // Sets the memory budget and the line limit of the sorts that start afterwards, in bytes,
    // for the whole process (tests and tuning); 0 restores a default. A budget below what one
    // merge needs, 8 * (line limit + 2) + 64 KiB in whole 4 KiB pages, is raised to it; one
    // above kMaxMemoryBudget is lowered to it. The line limit is at most kMaxMemoryBudget / 16.
    static void setLimits(size_t memoryBudget, size_t maxLineLength);
    // The limits in effect, the budget after raising or lowering.
    static size_t getMemoryBudget();
    static size_t getMaxLineLength();

    BatchSort();
    ~BatchSort() override;

    // Prepares a sort of inputFile into outputFile with workDir for the runs; 0 on success,
    // -1 with getFatalErrMsg() telling why. The input must be a readable file (it is opened
    // here) and workDir a writable directory. outputFile is not touched until sort() has read
    // the whole input, so it may name the input file itself (a failure while writing the output
    // then loses the input, which is why sort-and-replace writes to a temporary file). An output
    // file other than the input gets the mode and owner of a regular input file before the
    // first byte is written (a sort that cannot give them fails).
    // - ascending: non-zero sorts in ascending order; 0 reverses the default comparison.
    // - flag2 (unique): non-zero writes only the first, in input order, of lines that compare
    //   equal (as `sort -u`).
    // - flag3 (case-insensitive): non-zero makes the default comparison fold the ASCII letters
    //   a-z to A-Z first; other bytes compare as they are. Lines that fold alike keep their
    //   input order, so the result is that of `LC_ALL=C sort -f -s` (stable): plain
    //   `sort -f` would order such lines by their bytes as a last resort.
    // - reserved: not used.
    int init(const char* inputFile, const char* outputFile, const char* workDir, int ascending, int flag2, int flag3,
             long reserved);
    // Sorts; 0 on success, -1 with getFatalErrMsg() telling why: the work files are gone, and
    // so is the output file when the sort had begun to write it. One sort per init.
    int sort();

    // The default comparison: byte order, letters folded when case-insensitive, reversed when
    // descending.
    int compare(std::string_view a, std::string_view b) override;

    bool isAscending() const { return ascending_; }
    bool isUnique() const { return unique_; }
    bool isCaseInsensitive() const { return caseInsensitive_; }

    // Figures of the last sort: run files written (0 when the input was sorted in memory),
    // merge passes (the last one writes the output), bytes of the one buffer allocated.
    size_t getRunCount() const { return runCount_; }
    size_t getMergePasses() const { return mergePasses_; }
    size_t getBufferSize() const { return bufferSize_; }

private:
    void closeInput();

    std::string inputFile_;
    std::string outputFile_;
    std::string workDir_;
    bool ascending_ = true;
    bool unique_ = false;
    bool caseInsensitive_ = false;
    int inputFd_ = -1;
    uint64_t inputSize_ = 0;     // 0 when not a regular file
    uint64_t inputDevice_ = 0;   // to recognise an output file that is the input itself
    uint64_t inputInode_ = 0;
    bool inputIsRegular_ = false;
    FileOwnership inputOwnership_;
    size_t runCount_ = 0;
    size_t mergePasses_ = 0;
    size_t bufferSize_ = 0;
};
