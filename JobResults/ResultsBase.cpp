#include "JobResults/ResultsBase.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "Indexing/icommon/SafeFileOps.h"
#include "Indexing/idxport/FsPrimitives.h"
#include "Indexing/idxport/PathSep.h"
#include "JobResults/LineMap.h"
#include "JobResults/PagingResultsDir.h"
#include "Platform/AtomicRewrite.h"
#include "Platform/JobResultsTable.h"
#include "Platform/TempNames.h"

namespace {
constexpr size_t kPathBuffer = 1024;
constexpr const char* kTableName = "JobResults";

// 1 read, 0 the file ends before (it was cut meanwhile), -1 error (the file's last error).
int readAt(CXFile& file, int64_t offset, char* buffer, unsigned long size) {
    if (file.seek(offset, sfSeekSet) != 0) return -1;
    unsigned long got = 0;
    while (got < size) {
        const long n = file.read(buffer + got, size - got);
        if (n <= 0) return n < 0 ? -1 : 0;
        got += static_cast<unsigned long>(n);
    }
    return 1;
}

bool sizeOf(CXFile& file, int64_t& size) {
    if (file.seek(0, sfSeekEnd) != 0) return false;
    size = file.getCurOffset();
    return true;
}
}  // namespace

ResultsBase::ResultsBase(unsigned long talCell, int64_t jobId, bool writer, const char* clientName)
    : talCell_(static_cast<uint32_t>(talCell)), jobId_(jobId), writer_(writer) {
    setDebugPrefix("RESULTSBASE");
    dirReady_ = !resultsDir_.initialize(talCell, jobId, writer, clientName);
    if (!dirReady_) {
        debug(1, "job results dir init failed talCell %lu jobId %" PRIu64 "\n", talCell, static_cast<uint64_t>(jobId));
        return;
    }
    const char* dir = resultsDir_.getCacheDir();
    if (dir == nullptr) {
        debug(1, "no cacheDir");
        return;
    }
    jrTable_.reset(new (std::nothrow) JobResultsTable());
    if (!jrTable_) {
        debug(1, "no memory for jrTable");
        return;
    }
    const std::string tablePath = joinPath(dir, kTableName);
    if (const int result = jrTable_->initialize(tablePath.c_str()); result != 0)
        debug(1, "table initialize '%s' failed with code %d", tablePath.c_str(), result);
}

ResultsBase::ResultsBase(int64_t jobId, const char*) : jobId_(jobId) { setDebugPrefix("RESULTSBASE"); }

ResultsBase::~ResultsBase() { freeNames(); }

void ResultsBase::freeNames() {
    delete[] fileName_;
    delete[] mapName_;
    fileName_ = mapName_ = nullptr;
}

const char* ResultsBase::getClientName() { return resultsDir_.getClientName(); }

bool ResultsBase::computeFileNames(ResultsFile kind) {
    const char* dir = resultsDir_.getCacheDir();
    if (dir == nullptr) {
        debug(1, "computeFileNames: no cacheDir\n");
        return true;
    }
    freeNames();
    if (kind == kResultsNone) return false;
    const char* name = resultsFileName(kind);
    if (name == nullptr) {
        debug(1, "invalid file type\n");
        return true;
    }
    char file[kPathBuffer];
    char map[kPathBuffer];
    const int fileLength = snprintf(file, sizeof file, "%s%c%s", dir, kPathSep, name);
    const int mapLength = snprintf(map, sizeof map, "%s%c%u.map", dir, kPathSep, static_cast<unsigned>(kind));
    // A cut path would name another file: refused rather than used.
    if (fileLength < 0 || mapLength < 0 || static_cast<size_t>(fileLength) >= sizeof file ||
        static_cast<size_t>(mapLength) >= sizeof map) {
        debug(1, "computeFileNames: path too long in %s\n", dir);
        return true;
    }
    fileName_ = new (std::nothrow) char[static_cast<size_t>(fileLength) + 1];
    if (fileName_ == nullptr) {
        debug(1, "fileName strdup failed, errno %d\n", ENOMEM);
        return true;
    }
    memcpy(fileName_, file, static_cast<size_t>(fileLength) + 1);
    mapName_ = new (std::nothrow) char[static_cast<size_t>(mapLength) + 1];
    if (mapName_ == nullptr) {
        debug(1, "mapName strdup failed, errno %d\n", ENOMEM);
        freeNames();
        return true;
    }
    memcpy(mapName_, map, static_cast<size_t>(mapLength) + 1);
    return false;
}

ResultsBase::MapCheck ResultsBase::checkMap(int64_t& lines) {
    lines = 0;
    int64_t mapSize = 0;
    int64_t fileSize = 0;
    if (!sizeOf(mapFile_, mapSize) || !sizeOf(resultsFile_, fileSize)) return MapCheck::Error;
    lines = mapSize / static_cast<int64_t>(kMapEntrySize);
    if (mapSize % static_cast<int64_t>(kMapEntrySize) != 0) return MapCheck::Unsound;
    if (lines == 0) return MapCheck::Sound;
    auto read = [](CXFile& file, int64_t offset, void* into, unsigned long size) {
        const int got = readAt(file, offset, static_cast<char*>(into), size);
        return got < 0 ? MapCheck::Error : got == 0 ? MapCheck::Unsound : MapCheck::Sound;
    };
    unsigned char entry[kMapEntrySize];
    if (MapCheck got = read(mapFile_, 0, entry, kMapEntrySize); got != MapCheck::Sound) return got;
    if (decodeMapEntry(entry) != 0) return MapCheck::Unsound;
    const int64_t lastAt = mapSize - static_cast<int64_t>(kMapEntrySize);
    if (MapCheck got = read(mapFile_, lastAt, entry, kMapEntrySize); got != MapCheck::Sound) return got;
    const auto last = static_cast<int64_t>(decodeMapEntry(entry));
    // Every line before the last one takes at least its line feed.
    if (last >= fileSize || last < lines - 1) return MapCheck::Unsound;
    if (last == 0) return MapCheck::Sound;
    char before = 0;
    if (MapCheck got = read(resultsFile_, last - 1, &before, 1); got != MapCheck::Sound) return got;
    return before == '\n' ? MapCheck::Sound : MapCheck::Unsound;
}

ResultsBase::MapTail ResultsBase::mapTail(int64_t lines) {
    int64_t fileSize = 0;
    if (!sizeOf(resultsFile_, fileSize)) return MapTail::Error;
    if (lines == 0) {
        // A carriage return alone is no line (a rebuild maps none for it).
        char only = 0;
        if (fileSize == 1 && readAt(resultsFile_, 0, &only, 1) == 1 && only == '\r') return MapTail::Exact;
        return fileSize == 0 ? MapTail::Exact : MapTail::Behind;
    }
    unsigned char entry[kMapEntrySize];
    if (readAt(mapFile_, (lines - 1) * static_cast<int64_t>(kMapEntrySize), reinterpret_cast<char*>(entry),
               kMapEntrySize) != 1)
        return MapTail::Error;
    int64_t at = static_cast<int64_t>(decodeMapEntry(entry));
    if (resultsFile_.seek(at, sfSeekSet) != 0) return MapTail::Error;
    constexpr unsigned long kChunk = 64 * 1024;
    std::unique_ptr<char[]> chunk(new (std::nothrow) char[kChunk]);
    if (!chunk) return MapTail::Error;
    for (;;) {
        const long got = resultsFile_.read(chunk.get(), kChunk);
        if (got < 0) return MapTail::Error;
        if (got == 0) return MapTail::Unterminated;
        if (const void* lineFeed = memchr(chunk.get(), '\n', static_cast<size_t>(got))) {
            const int64_t end = at + (static_cast<const char*>(lineFeed) - chunk.get()) + 1;
            if (end == fileSize) return MapTail::Exact;
            // A carriage return alone is no line (a rebuild maps none for it).
            char last = 0;
            if (end + 1 == fileSize && readAt(resultsFile_, end, &last, 1) == 1 && last == '\r') return MapTail::Exact;
            return MapTail::Behind;
        }
        at += got;
    }
}

bool ResultsBase::generateMap() {
    if (fileName_ == nullptr) {
        debug(1, "generateMap: no file name\n");
        return true;
    }
    if (mapName_ == nullptr) {
        debug(1, "generateMap: no map file name\n");
        return true;
    }
    if (!rebuildMap()) return false;
    resultsFile_.close();
    mapFile_.close();
    return true;
}

namespace {
constexpr unsigned long kScanBlock = 1u << 20;
constexpr size_t kEntriesPerWrite = 13107;     // 65535 bytes of entries per write and per reservation

// The rebuild's buffers, made once per thread and reused: touching fresh memory is slow.
struct RebuildBuffers {
    std::unique_ptr<char[]> block;
    std::unique_ptr<unsigned char[]> entries;
    bool ready() {
        if (!block) block.reset(new (std::nothrow) char[kScanBlock]);
        if (!entries) entries.reset(new (std::nothrow) unsigned char[kEntriesPerWrite * kMapEntrySize]);
        return block && entries;
    }
};
thread_local RebuildBuffers rebuildBuffers;
}  // namespace

// Lines are found by their line feeds, so that each entry is the true offset of its line
// whatever the line holds; a last line without one is mapped as the line reader would return
// it. The map is written to a new file beside the old one and renamed over it: a reader never
// sees a short map, and two rebuilds do not mix their entries.
bool ResultsBase::rebuildMap() {
    mapFile_.close();
    if (!resultsFile_.isOpen() && resultsFile_.open(fileName_, sfReadWrite, 0, 0, sfRegularFileOnly) != 0) {
        debug(1, "generateMap: cannot open %s, code %d\n", fileName_, resultsFile_.getLastError());
        return true;
    }
    if (!rebuildBuffers.ready()) {
        debug(1, "generateMap: cannot allocate buffers for %s\n", fileName_);
        return true;
    }
    // What rebuilds killed on the way left goes first (this host's of processes that no longer
    // run, other hosts' by age): nothing else removes it. The new name is of this process alone,
    // created exclusively: nobody else's file is taken over.
    removeDeadTemporaries(mapName_, "new");
    const std::string tempName = TempNames::make(mapName_, "new");
    const char* const temp = tempName.c_str();
    CXFile out;
    if (out.open(temp, sfCreateNew, 0, 0666, sfRegularFileOnly) != 0) {
        debug(1, "generateMap: cannot open %s, code %d\n", temp, out.getLastError());
        return true;
    }
    // The map takes the mode and owner of its results file: the open one, checked to be still
    // at its name (it was opened without following a link), never what a link at the map's
    // name points to.
    if (!resultsFile_.isStillAt(fileName_) || copyOwnership(fileName_, temp) != 0)
        debug(2, "generateMap: %s keeps its own mode\n", temp);
    bool failed = scanLines(out);
    if (!failed && out.close() != 0) {
        debug(1, "generateMap: close failed in %s, code %d\n", temp, out.getLastError());
        failed = true;
    }
    if (!failed && safeRename(temp, mapName_) != 0) {
        debug(1, "generateMap: cannot rename %s to %s, errno %d\n", temp, mapName_, errno);
        failed = true;
    }
    if (failed) {
        out.close();
        safeUnlink(temp);
        return true;
    }
    if (mapFile_.open(mapName_, sfReadWrite, 0, 0, sfRegularFileOnly) != 0) {
        debug(1, "generateMap: reopen failed in %s, code %d\n", mapName_, mapFile_.getLastError());
        return true;
    }
    if (mapFile_.seek(0, sfSeekEnd) != 0) {
        debug(1, "generateMap: cannot seek to end of map file %s, code %d\n", mapName_, mapFile_.getLastError());
        return true;
    }
    useMap_ = true;
    return false;
}

// Writes the entries of every line of the results file to out; the results file ends at its
// end. false on success (failures logged).
bool ResultsBase::scanLines(CXFile& out) {
    if (resultsFile_.seek(0, sfSeekSet) != 0) {
        debug(1, "generateMap: cannot seek to start %s, code %d\n", fileName_, resultsFile_.getLastError());
        return true;
    }
    char* const block = rebuildBuffers.block.get();
    unsigned char* const entries = rebuildBuffers.entries.get();
    size_t pending = 0;
    int64_t lines = 0;
    // Space is reserved per write of entries, before it is written, rather than 5 bytes per
    // line: one request to the cache for thirteen thousand lines.
    auto writeEntries = [&]() {
        if (pending == 0) return false;
        const uint64_t bytes = pending * kMapEntrySize;
        if (!pagingDir_ && resultsDir_.reserve(bytes)) {
            char line[32];
            snprintf(line, sizeof line, "%" PRId64, lines);
            debug(1, "generateMap: reserve failed for line %s in file %s, code %d\n", line, fileName_,
                  resultsDir_.getLastError());
            return true;
        }
        if (out.write(reinterpret_cast<const char*>(entries), static_cast<unsigned long>(bytes)) < 0) {
            debug(1, "generateMap: bufWrite in file %s failed, code %d\n", mapName_, out.getLastError());
            return true;
        }
        pending = 0;
        return false;
    };
    // A line longer than a reader serves is mapped all the same: only a page that reaches it
    // fails, and every other line of the file stays within reach.
    auto addLine = [&](int64_t start, int64_t textLength) {
        if (textLength > kLongestLineText)
            debug(1, "generateMap: line %" PRId64 " of %s holds %" PRId64 " bytes, more than a reader serves\n",
                  lines + 1, fileName_, textLength);
        if (static_cast<uint64_t>(start) > kMaxMappedOffset) {
            debug(1, "generateMap: line at offset %" PRId64 " in file %s cannot be mapped\n", start, fileName_);
            return true;
        }
        encodeMapEntry(static_cast<uint64_t>(start), entries + pending * kMapEntrySize);
        ++lines;
        return ++pending == kEntriesPerWrite && writeEntries();
    };
    int64_t lineStart = 0;
    int64_t at = 0;  // offset of block[0]
    char previous = 0;
    for (;;) {
        const long got = resultsFile_.read(block, kScanBlock);
        if (got < 0) {
            debug(1, "generateMap: getLine failed in file %s, code %d\n", fileName_, resultsFile_.getLastError());
            return true;
        }
        if (got == 0) break;
        const char* const end = block + got;
        for (const char* p = block; (p = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p))));) {
            const int64_t lineFeed = at + (p - block);
            const char before = p > block ? p[-1] : previous;
            const int64_t text = lineFeed - lineStart - (lineFeed > lineStart && before == '\r' ? 1 : 0);
            if (addLine(lineStart, text)) return true;
            lineStart = lineFeed + 1;
            ++p;
        }
        previous = end[-1];
        at += got;
    }
    // A last line without its line feed; a carriage return alone is no line.
    const int64_t tail = at - lineStart - (previous == '\r' ? 1 : 0);
    if (tail > 0 && addLine(lineStart, tail)) return true;
    return writeEntries();
}
