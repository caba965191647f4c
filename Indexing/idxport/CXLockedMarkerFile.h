// A marker file in a folder that one process keeps open and exclusively locked while an
// operation runs on that folder (by default a restore: the file "restoreInProgress"). Other
// processes ask isLocked: a locked marker means the operation runs; a marker that exists
// unlocked was left by a process that died and is removed after a confirmation delay.
//
// Owner:    construct -> openLocked -> (operation) -> unLockAndRemove or destruction.
// Observer: construct -> isLocked -> destruction.
//
// Only an object that holds the lock removes the marker (unLockAndRemove, destructor), and it
// deletes the name before it lets go. Every lock is checked against the name once granted: a
// waiter whose file was removed meanwhile opens the marker that is there now and locks again.
// Observers look through a read-only descriptor of their own (a shared-lock probe is refused
// only while an owner holds the marker), so an account that may only read it can tell too.
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

    // Creates the folder when missing (mode 0700), opens or creates the marker (mode 0666, never
    // through a symbolic link) and locks it exclusively. content, when not null, is written with its terminating zero at the
    // start of the file. Returns the bytes written (strlen + 1), or 0 without content; 1 when
    // the lock timed out (another process holds it), -1 on failure, -42 without a folder.
    int openLocked(const char* content);
    // 0 locked, 1 timed out, -1 not open, already locked or error. The lock is kept only on the
    // file that the marker's name still names.
    int lock();
    // 0, -1 on failure, -10 when not open or not locked by this object.
    int unLock();
    // Deletes the marker file when this object holds it, then unLock and close. Returns the
    // result of unLock. A marker this object does not hold is left to whoever holds it.
    int unLockAndRemove();
    // 1 held (by this object or another process), 0 not held, -42 no folder. A marker that
    // exists without a lock is probed a second time after 5 seconds; when the same file is
    // still free it is deleted as stale (under the exclusive lock, when this account may take
    // it); when another file took its name meanwhile, that one is confirmed the same way.
    // Probes never wait for the lock.
    int isLocked();

    const std::string& getPath() const { return path_; }

private:
    enum class Removal { removed, held, replaced, left };

    void init(const std::string& folder, const std::string& name);
    int openFile(unsigned retries);
    void closeFile();
    Removal removeStale(int lookFd);
    void removeFile();

    static const char* RESTORE_IN_PROGRESS;
    static constexpr unsigned long kStaleConfirmMs = 5000;
    // Bounds on how often a marker replaced under our hands is looked at again.
    static constexpr int kLockAttempts = 5;
    static constexpr int kConfirmRounds = 3;

    CXFile file_;
    std::string folder_;
    std::string path_;
    unsigned timeout_;
    int fd_ = -1;  // file_'s descriptor while open: compared with the file at path_ after a lock
};
