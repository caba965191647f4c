// The platform's critical section: a recursive mutex, so the thread that holds it may enter
// again (and must leave as often as it entered).
#pragma once

#include <mutex>

class KrCriticalSection {
public:
    KrCriticalSection() = default;
    KrCriticalSection(const KrCriticalSection&) = delete;
    KrCriticalSection& operator=(const KrCriticalSection&) = delete;

    void lock() { mutex_.lock(); }
    void unlock() { mutex_.unlock(); }
    // True when the section was entered without waiting.
    bool tryLock() { return mutex_.try_lock(); }
    bool try_lock() { return tryLock(); }  // for std::unique_lock and std::scoped_lock

private:
    std::recursive_mutex mutex_;
};
