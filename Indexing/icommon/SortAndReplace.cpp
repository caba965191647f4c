#include "Indexing/icommon/SortAndReplace.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include "Indexing/icommon/BatchSortByColumn.h"
#include "Indexing/icommon/SafeFileOps.h"
#include "Indexing/icommon/TDebuggable.h"
#include "Indexing/idxport/CXFile.h"
#include "Indexing/idxport/FsPrimitives.h"
#include "Indexing/idxport/FsSync.h"
#include "Platform/AtomicRewrite.h"
#include "Platform/BatchSort.h"
#include "Platform/TempNames.h"

namespace {
// The top-N copy goes through one buffer of this size, whatever the lengths of the lines.
constexpr unsigned long kCopyBufferSize = 65536;

// The names of one sort's own files: fresh names of this host, process and a random part beside
// the file, so that nothing another process made is taken, written through or removed (the
// file's directory may be writable by others, and shared by several hosts).
constexpr const char* kSortedTag = "sorted";
constexpr const char* kWorkTag = "sortwork";
constexpr const char* kTopTag = "top";

struct SortFiles {
    explicit SortFiles(const char* name)
        : file(name), tmp(TempNames::make(name, kSortedTag)), work(TempNames::make(name, kWorkTag)),
          top(TempNames::make(name, kTopTag)) {}
    const char* file;
    std::string tmp;   // the sorter's output
    std::string work;  // the sorter's work directory
    std::string top;   // the top-N result
};

// After a failure, once its line is logged: the sorter has removed its runs already; the output
// (made here before the sort) and the work directory go without further lines.
void dropWorkDir(const SortFiles& f) {
    fsUnlink(f.tmp.c_str());
    fsRmdir(f.work.c_str());
}

// Before a sort: what killed sorts of this file on this host left goes, and this sort's work
// directory and output file are made new (never an entry that was there: a link planted at the
// name is not followed). false after logging the failure.
bool prepareFiles(TDebuggable& log, const SortFiles& f) {
    for (const char* tag : {kSortedTag, kWorkTag, kTopTag}) removeDeadTemporaries(f.file, tag);
    const char* failed = nullptr;
    if (fsMkdir(f.work.c_str(), 0700) != 0) {
        failed = "cannot make the work directory";
    } else {
        CXFile output;
        if (output.open(f.tmp.c_str(), sfCreateNew, 0, 0600) != 0 || output.close() != 0) failed = "cannot create tmpFile";
    }
    if (failed == nullptr) return true;
    log.debug(1, "sort init failed for file '%s' tmpFile '%s' workdir '%s' with error '%s'", f.file, f.tmp.c_str(),
              f.work.c_str(), failed);
    dropWorkDir(f);
    return false;
}

// Puts the finished output from in place of the input: synced first, so that a power loss after
// the rename finds the whole sorted file and not an empty one, then renamed in one step, and the
// rename made durable. 0, or -1 after the failure's line with from removed.
int replaceInput(TDebuggable& log, const SortFiles& f, const std::string& from) {
    const char* failed = nullptr;
    if (fsSyncFile(from.c_str()) != 0)
        failed = "sync";
    else if (safeRename(from.c_str(), f.file) != 0)  // one step: the input keeps its name until then
        failed = "rename";
    if (failed != nullptr) {
        log.debug(1, "%s failed for file '%s' tmpFile '%s' workdir '%s'", failed, f.file, from.c_str(), f.work.c_str());
        fsUnlink(from.c_str());
        dropWorkDir(f);
        return -1;
    }
    const std::string folder = parentPath(f.file);
    if (fsSyncDirectory(folder.empty() ? "." : folder.c_str()) != 0)
        log.debug(1, "ignoring directory sync failure for '%s'", f.file);
    return 0;
}

const char* printable(const char* file) { return file != nullptr ? file : "(null)"; }

// Removes the work directory at the end of sortAndReplaceEx.
void removeWorkDir(TDebuggable& log, const SortFiles& f) {
    log.debug(1, "Call rmdir for '%s'", f.work.c_str());
    if (safeRmdir(f.work.c_str()) != 0) log.debug(1, "ignoring rmdir failure for '%s'", f.work.c_str());
}

enum class CopyResult { Copied, ReadFailed, WriteFailed };

// Reads src from its start and calls atLine(offset) at the start of every line (a line ends
// after its line feed; a last line without one counts) until atLine returns false. Returns
// the offset where it stopped, the file's length when it saw every line, or -1 when a read
// failed. Lines of any length: only line feeds are looked for.
template <class AtLine>
int64_t scanLineStarts(CXFile& src, char* buffer, AtLine atLine) {
    if (src.seek(0, sfSeekSet) != 0) return -1;
    int64_t offset = 0;
    bool atStart = true;
    for (;;) {
        const long n = src.read(buffer, kCopyBufferSize);
        if (n < 0) return -1;
        if (n == 0) return offset;
        for (long i = 0; i < n;) {
            if (atStart) {
                if (!atLine(offset + i)) return offset + i;
                atStart = false;
            }
            const void* lf = memchr(buffer + i, '\n', static_cast<size_t>(n - i));
            if (lf == nullptr) break;
            i = static_cast<const char*>(lf) - buffer + 1;
            atStart = true;
        }
        offset += n;
    }
}

// Copies the bytes [from, to) of src to dst: whole lines, as the sorter wrote them (CR LF).
CopyResult copyRange(CXFile& src, CXFile& dst, char* buffer, int64_t from, int64_t to) {
    if (from >= to) return CopyResult::Copied;
    if (src.seek(from, sfSeekSet) != 0) return CopyResult::ReadFailed;
    for (int64_t left = to - from; left > 0;) {
        const long n = src.read(buffer, static_cast<unsigned long>(std::min<int64_t>(left, kCopyBufferSize)));
        if (n <= 0) return CopyResult::ReadFailed;  // the sorted file is shorter than it was
        if (dst.write(buffer, static_cast<unsigned long>(n)) != n) return CopyResult::WriteFailed;
        left -= n;
    }
    return CopyResult::Copied;
}

// Copies the first topN lines of src to dst.
CopyResult copyFirst(TDebuggable& log, CXFile& src, CXFile& dst, char* buffer, int topN) {
    log.debug(1, "Descending - copy topN lines from src do dst. Output all if < topN");
    int copied = 0;
    const int64_t end = scanLineStarts(src, buffer, [&](int64_t) { return copied < topN && ++copied > 0; });
    if (end < 0) return CopyResult::ReadFailed;
    log.debug(1, "%d lines were copied", copied);
    return copyRange(src, dst, buffer, 0, end);
}

// Copies the last topN lines of src to dst, in file order, remembering the starts of the last
// topN + 1 lines in ring while reading the file once.
CopyResult copyLast(TDebuggable& log, CXFile& src, CXFile& dst, char* buffer, int64_t* ring, int topN) {
    log.debug(1, "Ascending - skip all but topN lines at the bottom of the file. Output all if < topN");
    int i = 0;
    bool wrapped = false;
    const int64_t end = scanLineStarts(src, buffer, [&](int64_t offset) {
        ring[i] = offset;
        if (i == topN) {
            i = 0;
            wrapped = true;
        } else {
            ++i;
        }
        return true;
    });
    if (end < 0) return CopyResult::ReadFailed;
    ring[i] = end;  // slot i holds where reading ended
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
    // The ranges list the kept lines in file order: they run from the first one's start to the end.
    return to1 < from1 ? CopyResult::Copied : copyRange(src, dst, buffer, ring[from1], end);
}

// Keeps topN lines of the sorted temporary file: they go to the top file, which then replaces
// the input file. 0, or -1 after the failure's line (the work directory handled as well).
int limitTopN(TDebuggable& log, const SortFiles& f, bool lastN, int topN) {
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kCopyBufferSize]);
    // Only the last-N selection needs the ring of line starts.
    std::unique_ptr<int64_t[]> ring(lastN ? new (std::nothrow) int64_t[static_cast<size_t>(topN) + 1] : nullptr);
    if (buffer == nullptr || (lastN && ring == nullptr)) {
        log.debug(1, "not enough memory for TopN limiting: file '%s' tmpFile '%s' workdir '%s'", f.file, f.tmp.c_str(),
                  f.work.c_str());
        fsUnlink(f.tmp.c_str());
        dropWorkDir(f);
        return -1;
    }

    CXFile src, target, dst;
    src.open(f.tmp.c_str(), sfReadOnly);
    // The input file is opened for writing only to learn that it may be written: the result
    // goes to the top file and replaces the input by a rename, so that a failure in the middle
    // of the copy cannot leave the input cut short.
    target.open(f.file, sfWriteOnly);
    // The top file takes the input file's mode and owner before it holds a byte.
    bool made = false;
    if (src.isOpen() && target.isOpen()) {
        made = dst.open(f.top.c_str(), sfCreateNew, 0, 0600) == 0;
        if (made && copyOwnership(f.file, f.top) != 0) dst.close();
    }
    if (!src.isOpen() || !target.isOpen() || !dst.isOpen()) {
        log.debug(1, "filed to open files '%s' and/or tmpFile '%s' workdir '%s'", f.file, f.tmp.c_str(), f.work.c_str());
        src.close();
        target.close();
        dst.close();
        if (made) fsUnlink(f.top.c_str());
        fsUnlink(f.tmp.c_str());
        removeWorkDir(log, f);
        return -1;
    }

    CopyResult copied =
        lastN ? copyLast(log, src, dst, buffer.get(), ring.get(), topN) : copyFirst(log, src, dst, buffer.get(), topN);
    src.close();
    target.close();
    if (dst.close() != 0 && copied == CopyResult::Copied) copied = CopyResult::WriteFailed;
    ring.reset();
    buffer.reset();
    if (copied != CopyResult::Copied) {
        log.debug(1, "%s failed for file '%s' tmpFile '%s' workdir '%s'", copied == CopyResult::ReadFailed ? "read" : "write",
                  f.file, f.tmp.c_str(), f.work.c_str());
        fsUnlink(f.top.c_str());
        fsUnlink(f.tmp.c_str());
        dropWorkDir(f);
        return -1;
    }
    if (replaceInput(log, f, f.top) != 0) return -1;
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
    if (!prepareFiles(log, f)) return -1;

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
    if (replaceInput(log, f, f.tmp) != 0) return -1;
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
    if (!prepareFiles(log, f)) return -1;

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
        if (replaceInput(log, f, f.tmp) != 0) return -1;
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
