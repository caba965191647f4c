// The writer of job results. Direct: openFile, putLine / setRestoreStatusOnObject, closeFile,
// each line appended to the results file and its offset to the map. Raw: openRaw hands out a
// private raw file name and holds a shared lock on the directory's State file, which keeps a
// reader's merge waiting. Removable: openRemovable prepares the job results table, lines go in
// under a key with putRemovableLine and can be withdrawn until the results file is made; they
// are committed in groups (flushRemovable and closeRemovable say when all of them are in).
//
// The bool operations return false on success and true on failure.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "Indexing/idxport/CXFile.h"
#include "JobResults/ResultsBase.h"

// A restore result's status number.
enum RESTORE_STATUS_STRING_MAPPING : int32_t {};

class StoreResults : public ResultsBase {
public:
    static constexpr size_t kRestoreLineBuffer = 1024;
    static constexpr int kRestoreFlushLines = 20;
    static constexpr int kRestoreFlushBytes = 1024;

    StoreResults(unsigned long talCell = 0, int64_t jobId = 0, bool writer = true, const char* clientName = nullptr);
    ~StoreResults() override;

    char* getFile() { return fileName_; }
    char* getDirectory() { return resultsDir_.getCacheDir(); }

    bool openFile(ResultsFile kind, bool withMap, bool truncate);
    // A line holding CR or LF, or one that would start at or beyond 2^40 bytes in a mapped
    // file, is refused: nothing is written to either file.
    bool putLine(const char* line, bool flush);
    bool putLine(char* line, bool flush) { return putLine(static_cast<const char*>(line), flush); }
    // Stores "<object> <status>", control characters and blanks of the name made blanks. A name
    // too long for the line buffer is refused, nothing written.
    bool setRestoreStatusOnObject(const char* object, RESTORE_STATUS_STRING_MAPPING status, bool flush);
    bool closeFile();

    bool openRaw(ResultsFile kind, std::string& rawName);
    // Removable rows wait in this process and go into the table in one synced transaction when
    // kRowsPerCommit rows or kBytesPerCommit bytes are waiting, at the first call after the
    // oldest has waited kCommitAfterMs, at remove/removeRows (with the removal), at
    // flushRemovable and closeRemovable, at the next openRemovable and when the object goes.
    // A call whose commit fails stores nothing of its own row; the rows before stay waiting.
    static constexpr size_t kRowsPerCommit = 16384;
    static constexpr size_t kBytesPerCommit = 4 << 20;
    static constexpr int64_t kCommitAfterMs = 1000;

    bool openRemovable(ResultsFile kind);
    bool putRemovableLine(const char* key, const char* line);
    bool remove(const char* key);
    int64_t removeRows(const char* key);
    // false once every row put so far is committed (synced to disk).
    bool flushRemovable();
    // flushRemovable, then the table is closed and the State file's lock released. When the
    // commit fails nothing is closed: the rows stay waiting and the call may be repeated.
    bool closeRemovable();
    int cleanUp(const char* clientName);

private:
    // Map entries wait here until the lines they describe are written out: the map never runs
    // ahead of the results file, and its writes hold whole entries.
    static constexpr size_t kEntriesPerWrite = 4096;
    // Bytes reserved at once for the lines to come (about 700 lines of 85 bytes).
    static constexpr uint64_t kReserveRun = 64 * 1024;

    // refuseLine, storeLine and reserveFor are inline in StoreResults.cpp: every line passes
    // through them, and a call between exported functions of the library would go through its
    // linkage table.
    bool refuseLine(const char* text, const char* op);
    // openRaw and openRemovable up to the names: false on success, now the time they started.
    bool openShared(const char* op, ResultsFile kind, uint32_t& now);
    // Appends one line of length bytes (no line break in it); op names the caller in the log.
    bool storeLine(const char* line, size_t length, bool flush);
    // Reserves need bytes for a line, from what an earlier request reserved ahead when it holds
    // them. false on success.
    bool reserveFor(uint64_t need);
    void returnReservedAhead();
    // Writes out the results file's pending bytes, then the map's entries. false on success.
    // failedFrom: where the file is cut back to at most when the write fails.
    bool writeOut(bool flushRequested, int64_t failedFrom);
    void cutBack(int64_t limit);
    void dropMap(int code);
    // openFile of an existing file: ends an unfinished last line, makes the map fit the file.
    bool prepareResultsFile(bool truncate);
    bool prepareMap(bool truncate);
    bool cutToNothing(CXFile& file, const char* name, int64_t& size);
    void abandonOpen();
    // openRaw and openRemovable: the State file created whole when missing, opened, locked
    // shared and checked, its access time refreshed. false on success.
    bool holdStateShared(const char* op, uint32_t now);
    bool createState(const char* op, const std::string& state, uint32_t now);
    void refreshAccessTime(const char* op, const std::string& state, uint32_t now);
    bool claimRawName(std::string& rawName, uint32_t now);
    // openRaw and openRemovable: refused once the results file exists (logged).
    bool refuseAfterGeneration(const char* op);
    // Commits the waiting removable rows (logged on failure). false on success.
    bool commitRows(const char* op);
    // Before the State file's lock goes: the waiting rows are committed, or logged as lost.
    void finishRemovable();

    uint32_t fileType_ = 0;
    CXFile stateLockFile_;
    int32_t pendingLines_ = 0;
    int32_t pendingBytes_ = 0;
    int64_t curOffset_ = 0;
    std::unique_ptr<unsigned char[]> entries_;
    size_t pendingEntries_ = 0;
    uint64_t reservedAhead_ = 0;  // reserved in the cache, not yet taken by a line
    bool outOfStep_ = false;  // a failed write left the results file in an unknown state
    int64_t rowsWaitingSince_ = 0;  // steady clock, milliseconds: when the oldest row was put
};
