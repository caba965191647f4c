// A critical section: serializes the threads of one process. The thread that holds it may
// enter again, and leaves as often as it entered.
#pragma once

#include <mutex>

class CXCritSect {
public:
    CXCritSect() = default;
    virtual ~CXCritSect() = default;
    CXCritSect(const CXCritSect&) = delete;
    CXCritSect& operator=(const CXCritSect&) = delete;

    // Enters, waiting as long as needed. 0.
    int lock();
    // Leaves. 0.
    int unlock();

private:
    std::recursive_mutex mutex_;
};

// The cache file system's critical section, one per process: it guards the cache file
// system's process-wide state and every reserve-file transaction. Made when the library is
// loaded (or at the first call, should another object of the library need it earlier while
// loading) and destroyed when the library is unloaded.
CXCritSect& cacheFsCritSect();
