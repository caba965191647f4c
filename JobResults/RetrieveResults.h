// The reader of job results: serves a page of lines (a first line and a count) as one reply of
// tagged fields on the caller's socket, generating the results file from raw files or the
// results table when it is missing and rebuilding a missing or unsound map. Also reads results
// kept as paging files in the temporary directory, and the restore results filtered by status.
//
// The bool operations return false on success and true on failure, except setFile and
// findPagingFile (true when done / found).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Platform/CYuSocket.h"
#include "JobResults/ResultsBase.h"

class CXFile;

class RetrieveResults : public ResultsBase {
public:
    // Reply fields.
    static constexpr unsigned long kReplyMessageType = 1084;
    static constexpr unsigned long kTagTotalLines = 4140;
    static constexpr unsigned long kTagNumLines = 4141;
    static constexpr unsigned long kTagLineNumber = 4142;
    static constexpr unsigned long kTagLastLine = 4147;
    static constexpr unsigned long kTagLine = 4148;
    static constexpr unsigned long kLineBuffer = 102400;

    // A job's results in its results directory (kinds 8, 9 and 10: the restore filter file).
    RetrieveResults(unsigned long talCell, int64_t jobId, ResultsFile kind, const char* clientName);
    // The paging file at path.
    RetrieveResults(ResultsFile kind, const char* path, const char* clientName, unsigned int sequence);
    // The job's paging file of that kind and sequence, found by search.
    RetrieveResults(int64_t jobId, ResultsFile kind, unsigned int sequence, const char* clientName);
    ~RetrieveResults() override;

    // A reply waits at most kSendTimeoutMs for a client that takes in nothing, then fails.
    static constexpr int kSendTimeoutMs = 60000;

    bool getPage(int64_t seqNo, int64_t lineNumber, int64_t numLines, const CYuSocket* socket);
    // How long a reply waits for a client that stops reading (milliseconds, > 0).
    void setSendTimeout(int milliseconds) { sendTimeoutMs_ = milliseconds > 0 ? milliseconds : kSendTimeoutMs; }
    // Makes the results file (fileName, the object's own) from the raw files or the table, once:
    // merged under a temporary name, put in place whole, and only then its input deleted.
    bool generateFile(const char* fileName);
    // Writes every row of the table to output and closes it. The table stays: generateFile
    // removes it once the results file is in place.
    bool generateFileFromTable(CXFile& output);
    bool setFile(const char* path, const char* clientName);
    void cleanup();
    char* getPath();
    bool checkBackupFile(char*) { return false; }
    bool findPagingFile(ResultsFile kind, unsigned int sequence, char* found, const char* clientName);
    bool generateRestoreFilterFile(const char* clientName);

private:
    // --- paging files and restore filter files (RetrievePaging.cpp)
    // findPagingFile's found buffer holds this many bytes; a longer path is not found.
    static constexpr size_t kPagingPathSize = 1040;
    // What a search of the temporary directory saw: the paging file and its map (empty when
    // none), with their modification times.
    struct PagingSearch {
        std::string dir, file, map;
        int64_t fileNs = 0, mapNs = 0;
    };
    bool computePagingNames(ResultsFile kind, unsigned int sequence, const char* path, const char* clientName);
    void setUpRestoreFilter(const char* clientName);
    // The filter file was deleted under this reader: made again and opened (failures logged).
    void remakeRestoreFilter();
    // The search itself; the caller holds the search lock. True when a paging file was found.
    bool searchPagingFile(ResultsFile kind, unsigned int sequence, const char* clientName, PagingSearch& seen);
    // A paging file given by path: a regular file directly inside tempDir named like one.
    bool acceptPagingPath(const std::string& path, const std::string& tempDir, uint32_t kind);
    // Inside the paging directory and named like a paging file (or its map): safe to delete.
    bool isOwnPagingName(const char* path) const;
    // Filters restore into the new file out; false on success.
    bool filterRestoreLines(CXFile& restore, CXFile& out, uint32_t kind, const char* restoreName);
    // Creates the filter file under a temporary name, fills it and renames it into place;
    // false on success (fileName_ then names it).
    bool writeRestoreFilter(CXFile& restore, const std::string& tempDir, uint32_t kind, const char* restoreName);

    // --- serving a page and generating the results file (RetrieveResults.cpp, RetrieveGenerate.cpp)
    struct RawInput;
    class PageReply;
    void closeUp();
    // Opens the map of the open results file, rebuilt when missing or unsound; total = its
    // lines. false when the reply has been made and the page failed.
    // writerAtWork: a writer holds the job's directory (never for paging files). Without one,
    // a map that lacks lines of the file is rebuilt and an unterminated last line counts.
    bool openMapForPage(PageReply& reply, int64_t& total, bool& writerAtWork);
    // 1 when a writer holds the job's directory (its State file locked exclusively), 0 when
    // none does, -1 when that cannot be told (logged).
    int writerHoldsDirectory();
    // Sends up to count lines from the map entry of lineNumber on; false on failure (logged).
    // finished: no writer is at work, so the map's last line may end without a line end.
    bool sendLines(PageReply& reply, int64_t seqNo, int64_t lineNumber, int64_t numLines, int64_t count,
                   int64_t total, bool finished, int64_t& curLine);
    // The raw files of the results file's kind, in merge order; false on a listing failure.
    bool listRawFiles(const char* prefix, std::vector<RawInput>& inputs);
    // Raw files of this kind that raw.log names as merged, still there (full paths). Once the
    // results file is in place they are leftovers of a generation killed before removing them:
    // raw writers are refused from then on.
    std::vector<std::string> mergedRawFiles();
    bool mergeRawFiles(std::vector<RawInput>& inputs, const std::string& tempName, const std::string& tempLog,
                       int& merged);

    int sendTimeoutMs_ = kSendTimeoutMs;

    uint32_t fileType_ = 0;
    char* cacheDir_ = nullptr;  // not owned: the job's directory (directory-based reader only)
    std::string clientName_;    // as given to the directory-based reader
};
