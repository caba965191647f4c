// What the writer (StoreResults) and the reader (RetrieveResults) of job results share: the
// job's results directory, the results file and its line map, the job results table, and the
// computation of their names.
#pragma once
#include <cstdint>
#include <memory>

#include "Indexing/icommon/TDebuggable.h"
#include "Indexing/idxport/CXFile.h"
#include "JobResults/JobResultsDir.h"
#include "JobResults/ResultsFile.h"

class JobResultsTable;
class PagingResultsDir;

class ResultsBase : public TDebuggable {
public:
    // A job's results in its results directory.
    ResultsBase(unsigned long talCell, int64_t jobId, bool writer, const char* clientName);
    // Results kept as paging files in the temporary directory (no job directory, no table).
    ResultsBase(int64_t jobId, const char* clientName);
    ~ResultsBase() override;
    ResultsBase(const ResultsBase&) = delete;
    ResultsBase& operator=(const ResultsBase&) = delete;

    // fileName_ = directory/<kind's file name>, mapName_ = directory/<kind>.map. false on success.
    bool computeFileNames(ResultsFile kind);
    // Rebuilds the map of fileName_ into mapName_ (written to a temporary file and renamed into
    // place, so that no reader sees a short map). On success both files are open, the map
    // read-write at its end. false on success.
    bool generateMap();
    const char* getClientName();

protected:
    // The outcome of checkMap.
    enum class MapCheck { Sound, Unsound, Error };
    // Checks the open map against the open results file: its size is a multiple of 5, its last
    // entry lies below the results file's size, and a line end comes just before that entry's
    // line. lines = entries in the map. Error: a read or seek failed (last errors set).
    // The positions of both files are moved.
    MapCheck checkMap(int64_t& lines);
    // Where the line of the map's last entry ends, for a map that checkMap found sound with
    // lines entries: Exact when it ends at the last line end of the file and nothing but a
    // carriage return follows (or map and file are both empty), Unterminated when it runs to
    // the end of the file without a line end, Behind when more of the file follows.
    enum class MapTail { Exact, Unterminated, Behind, Error };
    MapTail mapTail(int64_t lines);
    // generateMap without its closing of both files on failure: a writer that rebuilds its map
    // keeps its results file open. The results file is left at its end. false on success.
    bool rebuildMap();
    void freeNames();

    uint32_t talCell_ = 0;
    int64_t jobId_ = 0;
    bool writer_ = false;
    bool dirReady_ = false;
    JobResultsDir resultsDir_;
    CXFile resultsFile_;
    CXFile mapFile_;
    char* fileName_ = nullptr;  // owned
    char* mapName_ = nullptr;   // owned
    bool useMap_ = true;
    std::unique_ptr<PagingResultsDir> pagingDir_;
    std::unique_ptr<JobResultsTable> jrTable_;

private:
    bool scanLines(CXFile& out);
};
