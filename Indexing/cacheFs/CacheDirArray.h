// The cache directories one cleanup run considers, owned, sorted newest first.
//
// A scan finds tens of thousands of directories and the cleanup usually hands only the oldest
// few to unCache, so a directory found by the scan is kept as its numbers (talCell, app, time
// stamp) and what the sort learnt of its access time; its JobResultsCacheDir object is made when
// at() first asks for it, as a directory of the cache that was scanned, and then behaves as if
// it had been made by the scan (it does not read a State file that the sort already read).
#pragma once

#include <cstdint>

#include "Indexing/icommon/TDebuggable.h"

class JobResultsCacheDir;
class JobResultsCacheFs;

class CacheDirArray : public TDebuggable {
public:
    static constexpr int kGrowth = 2048;

    explicit CacheDirArray(int capacity = kGrowth);
    ~CacheDirArray() override;
    CacheDirArray(const CacheDirArray&) = delete;
    CacheDirArray& operator=(const CacheDirArray&) = delete;

    bool valid() const { return items_ != nullptr; }
    // Takes ownership. 0, or -1 when the array cannot grow (logged).
    int append(JobResultsCacheDir* dir);
    int getSize() const { return used_; }
    // The directory at index, its object made on first use; null when it cannot be made (logged).
    JobResultsCacheDir* at(int index);
    // Destroys the element and closes the gap; an index out of range is logged and ignored.
    int remove(int index);
    // Newest first: largest access time (useAccessTime) or time stamp first. 0, or -1 (logged)
    // when a directory whose access time is wanted cannot be made.
    int sort(bool useAccessTime);

private:
    friend class JobResultsCacheFs;  // its scan fills the array through scanning() and found()

    // One directory: its object once made, else its numbers and what getAtime gave.
    struct Entry {
        JobResultsCacheDir* dir = nullptr;
        uint32_t talCell = 0;
        uint32_t app = 0;
        uint32_t timeStamp = 0;
        uint32_t atime = 0;      // the access time getAtime cached, when atimeRead
        int32_t atimeError = 0;  // the object's last error after that getAtime
        bool atimeRead = false;
        bool atimeUnavailable = false;
    };

    // Directories found from now on belong to cache and carry jobId. Objects not yet made for
    // an earlier cache are made first, so that each keeps its own. 0, or -1 out of memory.
    int scanning(const JobResultsCacheFs& cache, int64_t jobId);
    // A directory of the cache named by scanning(): 0, -1 the array cannot grow, -2 out of memory.
    int found(unsigned long talCell, unsigned long app, unsigned long timeStamp);
    int grow();
    // The object of a directory kept as numbers, with what its sort read; null when out of memory.
    JobResultsCacheDir* make(const Entry& entry);
    // What a sort compares for the entry, read once.
    int keyOf(Entry& entry, bool useAccessTime, uint32_t& key);

    Entry* items_ = nullptr;
    int capacity_ = 0;
    int used_ = 0;
    // A directory of the scanned cache with its root resolved: every object made for an entry
    // is initialized like it, so the array does not depend on the scanning object's life.
    JobResultsCacheDir* prototype_ = nullptr;
    int64_t jobId_ = 0;
    // Whether the prototype could be initialized: when not (an application type without a
    // cache directory), found() makes each object at once, for it to say so itself.
    bool lazy_ = false;
};
