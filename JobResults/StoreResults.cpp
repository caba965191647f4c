// Direct storing: openFile, putLine, setRestoreStatusOnObject, closeFile.
#include "JobResults/StoreResults.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "Indexing/icommon/SafeFileOps.h"
#include "JobResults/LineMap.h"

namespace {
// Results files take lines in large writes, each a system call: 128 KB makes one write of
// about 1500 lines of 85 bytes. It stays below a batch of map entries' lines (4096), so that
// a writer's lines reach the file on their own between the map's writes.
constexpr unsigned kResultsBufferSize = 128 * 1024;

}  // namespace

StoreResults::StoreResults(unsigned long talCell, int64_t jobId, bool writer, const char* clientName)
    : ResultsBase(talCell, jobId, writer, clientName) {
    setDebugPrefix("STORERESULTS");
}

StoreResults::~StoreResults() {
    // The entries still waiting belong to lines that reach the file now.
    if (resultsFile_.isOpen() && !outOfStep_) writeOut(true, curOffset_);
    finishRemovable();
    stateLockFile_.close();
    returnReservedAhead();
}

bool StoreResults::openFile(ResultsFile kind, bool withMap, bool truncate) {
    fileType_ = kind;
    pendingLines_ = pendingBytes_ = 0;
    pendingEntries_ = 0;
    outOfStep_ = false;
    if (resultsDir_.getCacheDir() == nullptr) {
        debug(1, "openFile: cache init failed\n");
        return true;
    }
    if (resultsFile_.isOpen()) {
        debug(1, "openFile: %s already opened\n", fileName_);
        return true;
    }
    if (mapFile_.isOpen()) {
        debug(1, "openFile: map %s already opened\n", mapName_);
        return true;
    }
    if (computeFileNames(kind) || fileName_ == nullptr) {
        debug(1, "cannot compute file names\n");
        return true;
    }
    // Results of this object are never paging files: the job's directory is theirs.
    if (resultsDir_.open(false)) {
        debug(1, "openFile: cache open failed (dir %s)\n", resultsDir_.getCacheDir());
        return true;
    }
    useMap_ = withMap || kind == kResultsRestore;
    if (useMap_ && !entries_) entries_.reset(new (std::nothrow) unsigned char[kEntriesPerWrite * kMapEntrySize]);
    if (useMap_ && !entries_) {
        debug(1, "openFile: no memory for the map entries of %s\n", fileName_);
        abandonOpen();
        return true;
    }
    if (prepareResultsFile(truncate) || prepareMap(truncate)) {
        abandonOpen();
        return true;
    }
    if (resultsFile_.seek(0, sfSeekEnd) != 0) {
        debug(1, "openFile: cannot seek to end of file %s, code %d\n", fileName_, resultsFile_.getLastError());
        abandonOpen();
        return true;
    }
    return false;
}

void StoreResults::abandonOpen() {
    resultsFile_.close();
    mapFile_.close();
    returnReservedAhead();
    resultsDir_.close();
}

// Opens the results file. Appending goes on from the file's own end, not from what the map
// says, and a last line that a crash left without its line end is ended first.
bool StoreResults::prepareResultsFile(bool truncate) {
    resultsFile_.setBufSize(kResultsBufferSize);
    if (resultsFile_.open(fileName_, sfOpenOrCreate, 0, 0666, sfRegularFileOnly) != 0) {
        debug(1, "openFile: cannot open or create file %s, code %d\n", fileName_, resultsFile_.getLastError());
        return true;
    }
    if (resultsFile_.seek(0, sfSeekEnd) != 0) {
        debug(1, "openFile: cannot seek to end of file %s, code %d\n", fileName_, resultsFile_.getLastError());
        return true;
    }
    curOffset_ = resultsFile_.getCurOffset();
    if (truncate && cutToNothing(resultsFile_, fileName_, curOffset_)) return true;
    if (curOffset_ == 0) return false;
    char last = 0;
    if (resultsFile_.seek(curOffset_ - 1, sfSeekSet) != 0 || resultsFile_.read(&last, 1) != 1) {
        debug(1, "openFile: cannot read the end of file %s, code %d\n", fileName_, resultsFile_.getLastError());
        return true;
    }
    if (last == '\n') return false;
    const char* ending = last == '\r' ? "\n" : "\r\n";
    const unsigned long endingLength = static_cast<unsigned long>(strlen(ending));
    if (resultsFile_.write(ending, endingLength) != static_cast<long>(endingLength)) {
        debug(1, "openFile: cannot end the last line of %s, code %d\n", fileName_, resultsFile_.getLastError());
        return true;
    }
    debug(1, "openFile: the last line of %s was unfinished and is ended now\n", fileName_);
    curOffset_ += endingLength;
    return false;
}

// openFile with truncate: the file of size bytes, open at its end, is emptied (size becomes 0).
// An empty file is left alone: ext4 takes a cut to nothing for the rewrite of a file and hands
// it to writeback in the close itself (30 ms more for the close of a new 200 MB file), which
// a file that held nothing does not need.
bool StoreResults::cutToNothing(CXFile& file, const char* name, int64_t& size) {
    if (size == 0) return false;
    if (file.truncate() != 0) {
        debug(1, "openFile: cannot truncate file %s, code %d\n", name, file.getLastError());
        return true;
    }
    size = 0;
    return false;
}

// Opens the map (or deletes it when lines are not mapped). The map of an existing file is
// checked against it and rebuilt unless it fits: after a crash it may end in half an entry,
// point past the file or lag behind it.
bool StoreResults::prepareMap(bool truncate) {
    if (!useMap_) {
        if (safeUnlink(mapName_) < 0) debug(1, "openFile: cannot delete map file %s, errno %d\n", mapName_, errno);
        return false;
    }
    if (mapFile_.open(mapName_, sfOpenOrCreate, 0, 0666, sfRegularFileOnly) != 0) {
        debug(1, "openFile: cannot open or create map file %s, code %d\n", mapName_, mapFile_.getLastError());
        return true;
    }
    if (truncate) {
        if (mapFile_.seek(0, sfSeekEnd) != 0) {
            debug(1, "openFile: cannot seek to end of map file %s, code %d\n", mapName_, mapFile_.getLastError());
            return true;
        }
        int64_t size = mapFile_.getCurOffset();
        if (cutToNothing(mapFile_, mapName_, size)) return true;
    } else {
        // The file ends in a line end now: the map's last line must be the one that ends there.
        int64_t lines = 0;
        const MapCheck check = checkMap(lines);
        const MapTail tail = check == MapCheck::Sound ? mapTail(lines) : MapTail::Behind;
        if (check == MapCheck::Error || tail == MapTail::Error) {
            debug(1, "openFile: cannot check map file %s against %s, codes %d, %d\n", mapName_, fileName_,
                  mapFile_.getLastError(), resultsFile_.getLastError());
            return true;
        }
        if (tail != MapTail::Exact) {
            debug(1, "openFile: map %s does not fit %s: rebuilding it\n", mapName_, fileName_);
            if (rebuildMap()) return true;
        }
    }
    if (mapFile_.seek(0, sfSeekEnd) != 0) {
        debug(1, "openFile: cannot seek to end of map file %s, code %d\n", mapName_, mapFile_.getLastError());
        return true;
    }
    return false;
}

// Both ways of storing a line start here: a file must be open and a text given.
inline bool StoreResults::refuseLine(const char* text, const char* op) {
    if (fileName_ == nullptr || mapName_ == nullptr || !resultsFile_.isOpen()) {
        debug(1, "putLine: no file opened\n");
        return true;
    }
    if (text == nullptr) {
        debug(1, "%s: nothing given for file %s\n", op, fileName_);
        return true;
    }
    return false;
}

bool StoreResults::putLine(const char* line, bool flush) {
    if (refuseLine(line, "putLine")) return true;
    const size_t length = lineTextLength(line);
    // A line break inside the line would shift the offset of every later line.
    if (line[length] != '\0') {
        debug(1, "putLine: line with a line break refused for file %s: %s\n", fileName_, line);
        return true;
    }
    // A line no reader can take would fail every page that reaches it.
    if (length > static_cast<size_t>(kLongestLineText)) {
        debug(1, "putLine: line of %zu bytes refused for file %s: a reader serves at most %" PRId64 "\n", length,
              fileName_, kLongestLineText);
        return true;
    }
    return storeLine(line, length, flush);
}

bool StoreResults::setRestoreStatusOnObject(const char* object, RESTORE_STATUS_STRING_MAPPING status, bool flush) {
    if (refuseLine(object, "setRestoreStatusOnObject")) return true;
    char statusText[16];
    const int statusLength = snprintf(statusText, sizeof statusText, " %d", static_cast<int>(status));
    const size_t nameLength = strlen(object);
    if (nameLength + static_cast<size_t>(statusLength) >= kRestoreLineBuffer) {
        debug(1, "setRestoreStatusOnObject: object name of %zu bytes does not fit the line, refused: %.64s...\n",
              nameLength, object);
        return true;
    }
    char line[kRestoreLineBuffer];
    // Control characters and blanks become blanks: no line break gets in, and the status is
    // the text after the last blank.
    for (size_t i = 0; i < nameLength; ++i) {
        const auto c = static_cast<unsigned char>(object[i]);
        line[i] = c >= 1 && c <= 32 ? ' ' : object[i];
    }
    memcpy(line + nameLength, statusText, static_cast<size_t>(statusLength) + 1);
    return storeLine(line, nameLength + static_cast<size_t>(statusLength), flush);
}

inline bool StoreResults::storeLine(const char* line, size_t length, bool flush) {
    if (outOfStep_) {
        debug(1, "putLine: file %s is out of step after a failed write: reopen it\n", fileName_);
        return true;
    }
    if (useMap_ && static_cast<uint64_t>(curOffset_) > kMaxMappedOffset) {
        debug(1, "putLine: a line at offset %" PRId64 " of %s cannot be mapped, refused\n", curOffset_, fileName_);
        return true;
    }
    const uint64_t lineLength = length + 2;
    const uint64_t need = lineLength + (useMap_ ? kMapEntrySize : 0);
    // Restore results reach the disk at least every 20 lines or 1024 counted bytes.
    if (fileType_ == kResultsRestore) {
        pendingBytes_ += static_cast<int32_t>(std::max<uint64_t>(lineLength, kMapEntrySize));
        if (++pendingLines_ >= kRestoreFlushLines || pendingBytes_ >= kRestoreFlushBytes) {
            flush = true;
            pendingLines_ = pendingBytes_ = 0;
        }
    }
    if (reserveFor(need)) {
        debug(1, "putLine: reserve failed for line %s in file %s, code %d\n", line, fileName_,
              resultsDir_.getLastError());
        return true;
    }
    const int64_t lineStart = curOffset_;
    if (resultsFile_.putLine(line, length, false) != 0) {
        debug(1, "putLine to file %s failed, code %d\n", fileName_, resultsFile_.getLastError());
        cutBack(lineStart);
        return true;
    }
    if (useMap_) encodeMapEntry(static_cast<uint64_t>(curOffset_), entries_.get() + kMapEntrySize * pendingEntries_++);
    curOffset_ += static_cast<int64_t>(lineLength);
    if (flush || pendingEntries_ == kEntriesPerWrite) return writeOut(flush, lineStart);
    return false;
}

// A request to the cache costs more than storing a short line: the space of a run of lines is
// asked for at once and handed out line by line. When the cache cannot give a whole run, the
// line asks for its own bytes alone, so that a line is refused only where it would have been
// refused on its own.
inline bool StoreResults::reserveFor(uint64_t need) {
    if (need <= reservedAhead_) {
        reservedAhead_ -= need;
        return false;
    }
    if (need < kReserveRun && !resultsDir_.reserve(kReserveRun)) {
        reservedAhead_ = kReserveRun - need;
        return false;
    }
    return resultsDir_.reserve(need);
}

// What a run reserved for lines that never came goes back before the directory is let go.
void StoreResults::returnReservedAhead() {
    resultsDir_.unreserve(reservedAhead_);
    reservedAhead_ = 0;
}

bool StoreResults::writeOut(bool flushRequested, int64_t failedFrom) {
    if (resultsFile_.bufWriteFlush() != 0) {
        debug(1, "putLine to file %s failed, code %d\n", fileName_, resultsFile_.getLastError());
        cutBack(failedFrom);
        return true;
    }
    if (!useMap_ || !mapFile_.isOpen()) return false;
    // A reader that found the map unfit put a rebuilt one in its place, which lacks the lines
    // written since: the whole file, now written out, is mapped again.
    if (!mapFile_.isStillAt(mapName_)) {
        debug(1, "putLine: map %s was replaced meanwhile: rebuilding it\n", mapName_);
        pendingEntries_ = 0;
        if (rebuildMap()) {
            dropMap(mapFile_.getLastError());
            return true;
        }
        return false;
    }
    if (pendingEntries_ == 0) return false;
    const auto bytes = static_cast<unsigned long>(pendingEntries_ * kMapEntrySize);
    if (mapFile_.write(reinterpret_cast<const char*>(entries_.get()), bytes) != static_cast<long>(bytes)) {
        debug(1, flushRequested ? "bufWriteFlush in file %s failed, code %d\n" : "bufWrite in file %s failed, code %d\n",
              mapName_, mapFile_.getLastError());
        dropMap(mapFile_.getLastError());
        return true;
    }
    pendingEntries_ = 0;
    return false;
}

namespace {
// Where the last line within the first size bytes of file ends (just after its line feed), 0
// when they hold none; -1 on a read error. Read backwards from size in blocks.
int64_t lastLineEnd(CXFile& file, int64_t size) {
    constexpr int64_t kBlock = 64 * 1024;
    std::unique_ptr<char[]> block(new (std::nothrow) char[kBlock]);
    if (!block) return -1;
    for (int64_t end = size; end > 0;) {
        const int64_t from = std::max<int64_t>(0, end - kBlock);
        const auto want = static_cast<unsigned long>(end - from);
        if (file.seek(from, sfSeekSet) != 0 || file.read(block.get(), want) != static_cast<long>(want)) return -1;
        if (const void* lineFeed = memrchr(block.get(), '\n', want))
            return from + (static_cast<const char*>(lineFeed) - block.get()) + 1;
        end = from;
    }
    return 0;
}
}  // namespace

// A write that failed may have left part of a line in the file, which a reader (and the next
// open, which ends an unfinished line) would take for a line. The file is cut back to its last
// whole line, and never past limit (the start of the line whose storing failed: it must not
// appear), the map is brought to the lines kept, and the writer may go on from there. The
// pending bytes that had not reached the file are dropped with the descriptor. When the cut
// itself fails the object refuses further lines.
void StoreResults::cutBack(int64_t limit) {
    const int code = resultsFile_.getLastError();
    resultsFile_.close();
    int64_t size = 0;
    int64_t keep = -1;
    if (resultsFile_.open(fileName_, sfReadWrite, 0, 0, sfRegularFileOnly) == 0 &&
        resultsFile_.seek(0, sfSeekEnd) == 0) {
        size = resultsFile_.getCurOffset();
        keep = lastLineEnd(resultsFile_, std::min(size, limit));
    }
    if (keep < 0 || (keep < size && resultsFile_.truncateTo(keep) != 0) || resultsFile_.seek(keep, sfSeekSet) != 0) {
        debug(1, "putLine: cannot cut %s back to its last whole line after the failure (code %d), code %d: no more "
              "lines are taken\n", fileName_, code, resultsFile_.getLastError());
        outOfStep_ = true;
        return;
    }
    debug(1, "putLine: %s cut back from %" PRId64 " to %" PRId64 " bytes after a failed write (code %d)\n", fileName_,
          size, keep, code);
    curOffset_ = keep;
    // The entries of the lines kept are written; those of lines cut away go.
    size_t kept = 0;
    while (kept < pendingEntries_ &&
           decodeMapEntry(entries_.get() + kept * kMapEntrySize) < static_cast<uint64_t>(keep))
        ++kept;
    pendingEntries_ = kept;
    if (useMap_ && mapFile_.isOpen()) writeOut(false, keep);
}

// A map that could not be written in step with the file is deleted rather than left behind
// it: readers rebuild a missing map from the file. The lines go on without one.
void StoreResults::dropMap(int code) {
    mapFile_.close();
    pendingEntries_ = 0;
    useMap_ = false;
    if (safeUnlink(mapName_) < 0)
        debug(1, "putLine: cannot delete map file %s (code %d, errno %d): readers may see a wrong map\n", mapName_,
              code, errno);
    else
        debug(1, "putLine: map file %s deleted after a failure (code %d); readers rebuild it\n", mapName_, code);
}

bool StoreResults::closeFile() {
    if (fileName_ == nullptr) {
        debug(1, "closeFile: no file opened\n");
        return true;
    }
    bool failed = false;
    if (resultsFile_.isOpen()) {
        failed = !outOfStep_ && writeOut(true, curOffset_);
        // Lines written to a file that is no longer at its path (a cleanup removed the
        // directory meanwhile) are lost: that is no success.
        if (!resultsFile_.isStillAt(fileName_)) {
            debug(1, "closeFile: %s was removed while it was written, code %d\n", fileName_,
                  resultsFile_.getLastError());
            failed = true;
        }
    }
    if (outOfStep_) failed = true;
    if (resultsFile_.close() != 0) {
        debug(1, "close %s failed, code %d\n", fileName_, resultsFile_.getLastError());
        failed = true;
    }
    if (mapFile_.close() != 0 && useMap_) {
        debug(1, "close %s failed, code %d\n", mapName_, mapFile_.getLastError());
        failed = true;
    }
    // Without a map of its own, a map that a reader made while lines were added lacks them.
    if (!useMap_ && mapName_ != nullptr && safeUnlink(mapName_) < 0)
        debug(1, "closeFile: cannot delete map file %s, errno %d\n", mapName_, errno);
    returnReservedAhead();
    if (resultsDir_.close()) {
        debug(1, "resultsDir close failed\n");
        failed = true;
    }
    outOfStep_ = false;
    return failed;
}
