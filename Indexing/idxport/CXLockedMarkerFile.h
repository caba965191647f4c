// A marker file in a folder that one process keeps open and exclusively locked while an
// operation runs on that folder (by default a restore: the file "restoreInProgress"). Other
// processes ask isLocked: a locked marker means the operation runs; a marker that exists
// unlocked was left by a process that died and is removed after a confirmation delay.
//
// Owner:    construct -> openLocked -> (operation) -> unLockAndRemove or destruction.
// Observer: construct -> isLocked -> destruction.
// The destructor removes the marker only when this object locked it itself: an observer never
// removes a marker, so a running operation's marker stays while others look at it.
#pragma once

#include <string>

#include "Indexing/icommon/TDebuggable.h"
#include "Indexing/idxport/CXFile.h"

class CXLockedMarkerFile : public TDebuggable {
public:
    static constexpr int kErrNoFolder = -42;  // the object was made without a folder
    static constexpr int kErrNotLocked = -10; // unLock without a lock held by this object

    // timeout, in seconds: retries when opening (one per second) and the lock's time-out.
    // A null or empty folder is logged; such an object fails openLocked and isLocked with -42.
    CXLockedMarkerFile(const char* folder, unsigned timeout);
    CXLockedMarkerFile(const std::string& folder, unsigned timeout);
    CXLockedMarkerFile(const std::string& folder, const std::string& name, unsigned timeout);
    ~CXLockedMarkerFile() override;
    CXLockedMarkerFile(const CXLockedMarkerFile&) = delete;
    CXLockedMarkerFile& operator=(const CXLockedMarkerFile&) = delete;

    // Creates the folder when missing (mode 0700), opens or creates the marker (mode 0666) and
    // locks it exclusively. content, when not null, is written with its terminating zero at the
    // start of the file. Returns the bytes written (strlen + 1), or 0 without content; 1 when
    // the lock timed out (another process holds it), -1 on failure, -42 without a folder.
    int openLocked(const char* content);
    // 0 locked, 1 timed out, -1 not open, already locked or error.
    int lock();
    // 0, -1 on failure, -10 when not open or not locked by this object.
    int unLock();
    // unLock, close, and delete the marker file when it exists. Returns the result of unLock.
    int unLockAndRemove();
    // 1 held (by this object or another process), 0 not held, -42 no folder. A marker that
    // exists without a lock is probed a second time after 5 seconds and, when it is still
    // free, deleted as stale. Probes never wait for the lock.
    int isLocked();

    const std::string& getPath() const { return path_; }

private:
    void init(const std::string& folder, const std::string& name);
    void removeFile();

    static const char* RESTORE_IN_PROGRESS;
    static constexpr unsigned long kStaleConfirmMs = 5000;

    CXFile file_;
    std::string folder_;
    std::string path_;
    unsigned timeout_;
    // Set while the marker is this object's own: it locked it with lock() (or openLocked) and
    // has not removed it yet. Only then does the destructor delete the file.
    bool owner_ = false;
};
