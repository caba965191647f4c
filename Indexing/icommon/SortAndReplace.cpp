#include "Indexing/icommon/SortAndReplace.h"

#include <memory>
#include <new>
#include <optional>

#include "Indexing/icommon/BatchSortByColumn.h"
#include "Indexing/icommon/SafeFileOps.h"
#include "Indexing/icommon/TDebuggable.h"
#include "Indexing/idxport/CXFile.h"
#include "Indexing/idxport/FsPrimitives.h"
#include "Platform/BatchSort.h"

namespace {
constexpr int kLineBufferSize = 4096;
constexpr unsigned kCopyBufferSize = 65536;  // CXFile buffers for the top-N copy

struct SortFiles {
    explicit SortFiles(const char* name)
        : file(name), tmp(std::string(name) + ".tmp"), work(std::string(name) + "_folder.tmp"),
          top(std::string(name) + ".top.tmp") {}
    const char* file;
    std::string tmp;   // the sorter's output
    std::string work;  // the sorter's work directory
    std::string top;   // the top-N result
};

// After a failure, once its line is logged: the sorter has removed its runs and output already;
// the work directory goes when it is empty, without further lines.
void dropWorkDir(const SortFiles& f) { fsRmdir(f.work.c_str()); }

const char* printable(const char* file) { return file != nullptr ? file : "(null)"; }

// Removes the work directory at the end of sortAndReplaceEx.
void removeWorkDir(TDebuggable& log, const SortFiles& f) {
    log.debug(1, "Call rmdir for '%s'", f.work.c_str());
    if (safeRmdir(f.work.c_str()) != 0) log.debug(1, "ignoring rmdir failure for '%s'", f.work.c_str());
}

// Copies the first topN lines of src to dst; false when a write failed.
bool copyFirst(TDebuggable& log, CXFile& src, CXFile& dst, char* line, int topN) {
    log.debug(1, "Descending - copy topN lines from src do dst. Output all if < topN");
    int copied = 0;
    bool written = true;
    while (copied < topN && src.getLine(line, kLineBufferSize) == 1) {
        if (dst.putLine(line, false) != 0) {
            written = false;
            break;
        }
        ++copied;
    }
    log.debug(1, "%d lines were copied", copied);
    return written;
}

// Copies the last topN lines of src to dst, in file order, remembering the starts of the last
// topN + 1 lines in ring while reading the file once; false when a write failed.
bool copyLast(TDebuggable& log, CXFile& src, CXFile& dst, char* line, int64_t* ring, int topN) {
    log.debug(1, "Ascending - skip all but topN lines at the bottom of the file. Output all if < topN");
    int i = 0;
    bool wrapped = false;
    for (;;) {
        ring[i] = src.getCurOffset();
        if (src.getLine(line, kLineBufferSize) != 1) break;  // slot i holds where reading ended
        if (i == topN) {
            i = 0;
            wrapped = true;
        } else {
            ++i;
        }
    }
    int from1 = 0, to1 = i - 1, from2 = -1, to2 = -1;
    if (wrapped) {
        if (i == 0) {
            from1 = 1;
            to1 = topN;
        } else if (i == topN) {
            from1 = 0;
            to1 = topN - 1;
        } else {
            from1 = i + 1;
            to1 = topN;
            from2 = 0;
            to2 = i - 1;
        }
    }
    log.debug(1, "From1=%d, to1=%d, from2=%d, to2=%d", from1, to1, from2, to2);
    for (const auto& [from, to] : {std::pair{from1, to1}, std::pair{from2, to2}}) {
        if (from < 0) continue;
        for (int slot = from; slot <= to; ++slot) {
            if (src.seek(ring[slot], sfSeekSet) != 0 || src.getLine(line, kLineBufferSize) != 1) return true;
            if (dst.putLine(line, false) != 0) return false;
        }
    }
    return true;
}

// Keeps topN lines of the sorted temporary file: they go to the top file, which then replaces
// the input file. 0, or -1 after the failure's line (the work directory handled as well).
int limitTopN(TDebuggable& log, const SortFiles& f, bool lastN, int topN) {
    std::unique_ptr<char[]> line(new (std::nothrow) char[kLineBufferSize]);
    // Only the last-N selection needs the ring of line starts.
    std::unique_ptr<int64_t[]> ring(lastN ? new (std::nothrow) int64_t[static_cast<size_t>(topN) + 1] : nullptr);
    if (line == nullptr || (lastN && ring == nullptr)) {
        log.debug(1, "not enough memory for TopN limiting: file '%s' tmpFile '%s' workdir '%s'", f.file, f.tmp.c_str(),
                  f.work.c_str());
        fsUnlink(f.tmp.c_str());
        dropWorkDir(f);
        return -1;
    }

    CXFile src, target, dst;
    src.setBufSize(kCopyBufferSize);
    dst.setBufSize(kCopyBufferSize);
    src.open(f.tmp.c_str(), sfReadOnly);
    // The input file is opened for writing only to learn that it may be written: the result
    // goes to the top file and replaces the input by a rename, so that a failure in the middle
    // of the copy cannot leave the input cut short.
    target.open(f.file, sfWriteOnly);
    if (src.isOpen() && target.isOpen()) {
        fsUnlink(f.top.c_str());  // left behind by an interrupted call
        dst.open(f.top.c_str(), sfCreateNew);
    }
    if (!src.isOpen() || !target.isOpen() || !dst.isOpen()) {
        log.debug(1, "filed to open files '%s' and/or tmpFile '%s' workdir '%s'", f.file, f.tmp.c_str(), f.work.c_str());
        const bool made = dst.isOpen();
        src.close();
        target.close();
        dst.close();
        if (made) fsUnlink(f.top.c_str());
        fsUnlink(f.tmp.c_str());
        removeWorkDir(log, f);
        return -1;
    }

    bool written = lastN ? copyLast(log, src, dst, line.get(), ring.get(), topN) : copyFirst(log, src, dst, line.get(), topN);
    src.close();
    target.close();
    if (dst.close() != 0) written = false;
    ring.reset();
    line.reset();
    if (!written) {
        log.debug(1, "write failed for file '%s' tmpFile '%s' workdir '%s'", f.file, f.tmp.c_str(), f.work.c_str());
        fsUnlink(f.top.c_str());
        fsUnlink(f.tmp.c_str());
        dropWorkDir(f);
        return -1;
    }
    if (safeRename(f.top.c_str(), f.file) != 0) {
        log.debug(1, "rename failed for file '%s' tmpFile '%s' workdir '%s'", f.file, f.tmp.c_str(), f.work.c_str());
        fsUnlink(f.top.c_str());
        fsUnlink(f.tmp.c_str());
        dropWorkDir(f);
        return -1;
    }
    if (fsUnlink(f.tmp.c_str()) != 0) log.debug(1, "unlink failed for tmpFile '%s' workdir '%s'", f.tmp.c_str(), f.work.c_str());
    return 0;
}
}  // namespace

int sortAndReplace(const char* file, bool flag2, bool ascending, bool flag3) {
    TDebuggable log;
    log.setDebugPrefix("SORTANDREPLACE");
    if (file == nullptr || *file == '\0') {
        log.debug(1, "sort init failed for file '%s' tmpFile '%s' workdir '%s' with error '%s'", printable(file), "", "",
                  "no file name given");
        return -1;
    }
    const SortFiles f(file);
    recursiveMkdir(f.work.c_str(), 0755);  // a work directory that cannot be made fails the init

    BatchSort sorter;
    if (sorter.init(file, f.tmp.c_str(), f.work.c_str(), ascending, flag2, flag3, 0) != 0) {
        log.debug(1, "sort init failed for file '%s' tmpFile '%s' workdir '%s' with error '%s'", file, f.tmp.c_str(),
                  f.work.c_str(), sorter.getFatalErrMsg());
        dropWorkDir(f);
        return -1;
    }
    if (sorter.sort() != 0) {
        log.debug(1, "sort failed for file '%s' tmpFile '%s' workdir '%s' with error '%s'", file, f.tmp.c_str(),
                  f.work.c_str(), sorter.getFatalErrMsg());
        dropWorkDir(f);
        return -1;
    }
    // rename replaces the file in one step; deleting it first would only open a window in
    // which neither the file nor its sorted copy has its name.
    if (safeRename(f.tmp.c_str(), file) != 0) {
        log.debug(1, "rename failed for file '%s' tmpFile '%s' workdir '%s'", file, f.tmp.c_str(), f.work.c_str());
        fsUnlink(f.tmp.c_str());
        dropWorkDir(f);
        return -1;
    }
    if (safeRmdir(f.work.c_str()) != 0) log.debug(1, "ignoring rmdir failure for '%s'", f.work.c_str());
    return 0;
}

int sortAndReplaceEx(const char* file, BatchSortListSortCriteria criteria, int topN, bool ascending, bool flag3,
                     unsigned int column, std::string separators, short columnType, uint64_t reserved) {
    const bool plain = criteria == BatchSortListSortUnique || criteria == BatchSortListSortAll;
    if (topN < 1 && plain) return sortAndReplace(file, criteria == BatchSortListSortUnique, ascending, flag3);

    TDebuggable log;
    log.setDebugPrefix("SORTANDREPLACEEX");
    if (file == nullptr || *file == '\0') {
        log.debug(1, "sort init failed for file '%s' tmpFile '%s' workdir '%s'", printable(file), "", "");
        return -1;
    }
    const SortFiles f(file);
    recursiveMkdir(f.work.c_str(), 0755);  // a work directory that cannot be made fails the init

    {
        std::optional<BatchSortByColumn> byColumn;
        std::optional<BatchSort> byLine;
        BatchSort* sorter;
        if (criteria == BatchSortListSortByColumn) {
            sorter = &byColumn.emplace(column, std::move(separators), columnType, reserved);
            log.debug(1, "BatchSortByColumn instantiated");
        } else {
            sorter = &byLine.emplace();
            log.debug(1, "BatchSort instantiated");
        }
        if (sorter->init(file, f.tmp.c_str(), f.work.c_str(), ascending, criteria == BatchSortListSortUnique, flag3, 0) !=
            0) {
            log.debug(1, "sort init failed for file '%s' tmpFile '%s' workdir '%s'", file, f.tmp.c_str(), f.work.c_str());
            dropWorkDir(f);
            return -1;
        }
        if (sorter->sort() != 0) {
            log.debug(1, "sort failed for file '%s' tmpFile '%s' workdir '%s'", file, f.tmp.c_str(), f.work.c_str());
            dropWorkDir(f);
            return -1;
        }
    }
    log.debug(1, "Sorted '%s' into '%s'", file, f.tmp.c_str());

    if (topN < 1) {
        log.debug(1, "No file count was set. Renaming.");
        if (safeRename(f.tmp.c_str(), file) != 0) {
            log.debug(1, "rename failed for file '%s' tmpFile '%s' workdir '%s'", file, f.tmp.c_str(), f.work.c_str());
            fsUnlink(f.tmp.c_str());
            dropWorkDir(f);
            return -1;
        }
    } else {
        int limited;
        try {
            limited = limitTopN(log, f, ascending && !plain, topN);
        } catch (...) {
            // The input file is still as it was: the result had not replaced it yet.
            log.debug(1, "Exception thrown");
            fsUnlink(f.top.c_str());
            fsUnlink(f.tmp.c_str());
            removeWorkDir(log, f);
            return -1;
        }
        if (limited != 0) return -1;
    }
    removeWorkDir(log, f);
    log.debug(1, "Finish sorting successfuly");
    return 0;
}
