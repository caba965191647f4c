// A named lock shared by every process of the machine.
//
// The lock named N is an flock() on the file "<lock directory>/N.lock" (PlatformEnv::lockDirectory,
// VORNICA_LOCK_DIR). The kernel drops it when the holder closes it or dies, so a crashed holder
// never leaves a stale lock behind. Each MDLock object opens its own descriptor, so two objects
// with the same name contend even inside one process (a thread that takes the same name twice
// through two objects and waits without limit waits for itself). One object is not meant to be
// shared between threads without a lock of the caller's. The descriptor is close-on-exec, so
// programs started while the lock is held do not keep it; a child forked without exec shares it
// until it closes it.
//
// The lock directory is created when missing, world-writable with the sticky bit (01777), so
// that processes of several users can share it. Lock files are never removed: removing one while
// another process waits on it would let two processes hold "the same" lock. For the same reason
// an existing lock directory is refused (set() fails, with a journal line that names it and
// what to do) when it is a symbolic link or writable by group or others without the sticky bit;
// one that belongs to neither root nor this process's user is used with a warning.
#pragma once

#include <string>

class MDLock {
public:
    // Wait without limit. The 32-bit all-ones value (0xFFFFFFFF) means the same.
    static constexpr unsigned long kWaitForever = ~0UL;
    // Longest slice of a bounded wait that polls: the lock is tried again after sleeps of 1, 2,
    // 4 ... ms, at most this long each.
    static constexpr unsigned long kPollMs = 20;

    // A null name is taken as empty; empty names, names with '/' and names too long for a
    // file name are refused by set().
    explicit MDLock(const char* name);
    ~MDLock();  // releases a held lock
    MDLock(const MDLock&) = delete;
    MDLock& operator=(const MDLock&) = delete;

    // Takes the lock; true when it is held on return (also when this object held it already).
    // kWaitForever blocks until the lock is free. Any other value waits up to timeoutMs, taking
    // the lock as it is released (Platform/BoundedWait.h); 0 tries once. Where the wait has to
    // poll (a test hook on the platform sleep among other cases), it tries again after each
    // platform sleep (1 ms doubling up to kPollMs, the last one shorter) until the sleeps add up to
    // timeoutMs, so a test that shortens the platform sleep shortens the wait too. A refused name or a lock file that
    // cannot be opened gives false and a debug line.
    bool set(unsigned long timeoutMs);
    // Releases the lock; nothing happens when it is not held.
    void unset();

    bool isHeld() const { return fd_ >= 0; }
    const std::string& name() const { return name_; }
    // The lock file of this name (empty for a refused name).
    std::string path() const;

private:
    bool validName() const;
    int openLockFile(int dirFd, const std::string& file);

    std::string name_;
    int fd_ = -1;
};
