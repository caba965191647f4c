// A job's results directory: a thin owner of the job results cache directory (application type
// 1001, a client cache) at root/talCell/<upper half of the job id>/<lower half of the job id>,
// with the job-results way of creating, opening, reserving space and cleaning up.
//
// The bool operations return false on success and true on failure.
#pragma once
#include <cstdint>
#include <memory>

#include "Indexing/icommon/TDebuggable.h"

class JobResultsCacheDir;

class JobResultsDir : public TDebuggable {
public:
    JobResultsDir();
    ~JobResultsDir() override;  // closes an open directory
    JobResultsDir(const JobResultsDir&) = delete;
    JobResultsDir& operator=(const JobResultsDir&) = delete;

    // writer false makes every lock the directory takes shared.
    bool initialize(unsigned long talCell, int64_t jobId, bool writer, const char* clientName);
    // readOnly: a missing directory fails; otherwise it is created. A writer whose directory
    // another writer holds fails (a writer never runs without its lock).
    bool open(bool readOnly);
    bool close();
    bool reserve(uint64_t bytes);
    // Gives bytes of an earlier reserve that were not used back to the process.
    void unreserve(uint64_t bytes);
    bool release(uint64_t bytes);
    int cleanUp();

    void setNumDays(unsigned int days);
    unsigned int getNumDays();
    int setDiskFree(unsigned int percent);
    unsigned int getDiskFree();

    int getLastError();
    char* getCacheDir() { return cacheDir_; }
    const char* getClientName();
    bool isOpen() const { return isOpen_; }
    // The cache directory object (none before initialize).
    JobResultsCacheDir* cacheDirObject() { return cacheDirObject_.get(); }

private:
    bool writerIsGone();

    std::unique_ptr<JobResultsCacheDir> cacheDirObject_;
    char* cacheDir_ = nullptr;  // owned by cacheDirObject_
    bool isOpen_ = false;
};
