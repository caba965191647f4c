// Update from the previous index: the newest earlier directory of the app becomes the new job's
// directory, either by a copy of its files into a new directory (the old index stays for
// browsing) or by a rename.
//
// The previous directory is held with a shared lock from the moment its state is read until the
// copy is done or the rename has happened: no writer can take it over and no remover can empty
// it meanwhile, and what is decided is decided from the state read under that lock. The rename
// turns the lock exclusive on the same open file, never letting go, and the lock moves with the
// renamed directory. A failure leaves no new directory behind and no lock held.
#include <cerrno>
#include <cinttypes>

#include "Indexing/icommon/SafeFileOps.h"
#include "Indexing/idxport/CXDirectory.h"
#include "Indexing/idxport/CXLockedMarkerFile.h"
#include "Indexing/idxport/FsPrimitives.h"
#include "Indexing/indexcachedir/JobResultsCacheDir.h"
#include "Platform/BoundedWait.h"
#include "Platform/PlatformSleep.h"

namespace {
// A backup of this type is always copied, whatever its size.
constexpr BackupType kAlwaysCopied = static_cast<BackupType>(8);
constexpr unsigned long kLockTimeout = 60;
// How long one try waits for the exclusive lock of the previous index; between tries the path
// is looked at again.
constexpr unsigned long kExclusiveStepMs = 50;
}  // namespace

int64_t JobResultsCacheDir::sizeOfIndex(CXDirectory& opened) { return opened.sumSizes(); }

char* JobResultsCacheDir::update(bool fullBackup, unsigned long time, bool /*restoreFlag: restore is not available*/) {
    if (!isInitialized()) return nullptr;
    std::string previous, next;
    bool reserved = false;
    uint64_t bytes = 0;
    try {
        if (cacheFs_ == nullptr) fail("no cache fs");
        if (cacheDir_ != nullptr || stateFile_.isOpen()) {
            lastError_ = kErrNotOpened;
            fail("object already opened");
        }
        busyOpen_ = false;
        const uint32_t now = getCurrentTime();
        if (now == 0) {
            lastError_ = kErrNoCurrentTime;
            fail("getCurrentTime failed");
        }
        composeCacheDir(now);
        next = cacheDir_;
        unsigned long prev = backSearch(time, false);
        // A newest directory that a killed create left would stop every update of the app.
        for (; prev != 0; prev = backSearch(time, false)) {
            composeCacheDir(static_cast<uint32_t>(prev));
            if (!removeAbandonedCreate()) break;
        }
        if (prev == 0) {
            lastError_ = kErrNoPreviousBackup;
            noIndexFiles_ = true;
            fail("previous backup not found");
        }
        if (prev >= now) {
            ev().CriticalEvent(0xE000053, getJobId(), 0);
            lastError_ = kErrClockBackwards;
            fail("server clock has gone backwards");
        }
        if (time == 0) cleanFailedCachedirs(prev);
        composeCacheDir(static_cast<uint32_t>(prev));
        previous = cacheDir_;
        holdPreviousIndex();
        reserved = copyUponUpdate_ && reserveForCopy(previous, prev, bytes);
        if (reserved) {
            copyPreviousIndex(previous, now);
            // The copied bytes are on the disk now: the promise of them is given back.
            reserved = false;
            release(bytes, false);
        } else {
            renamePreviousIndex(previous, next, now);
        }
        return cacheDir_;
    } catch (const Failure& failure) {
        if (reserved) release(bytes, false);
        letGoAfterFailure({next, previous});
        if (fullBackup && lastError_ == kErrNoPreviousBackup) {
            debug(1, "update(): index not found during (first?) full backup\n");
        } else {
            debug(1, "MSG: Cannot update cache directory for [%s].", appToString(talCell_, appNumber_));
            debug(1, "update(): %s: errno=%d\n", failure.text, lastError_);
        }
        return nullptr;
    }
}

// Measures the previous index and decides: copied (the space reserved, true) or renamed (false,
// copying switched off for this object). A refused reservation fails the update.
bool JobResultsCacheDir::reserveForCopy(const std::string& previous, unsigned long prev, uint64_t& bytes) {
    CXDirectory old;
    old.setRecursion(true);
    if (old.open(previous.c_str()) != 0) {
        lastError_ = old.getLastError();
        fail("cannot open old cache dir");
    }
    const int64_t size = sizeOfIndex(old);
    if (size < 0) {
        lastError_ = old.getLastError();
        fail("cannot sum size of old cache dir");
    }
    bytes = static_cast<uint64_t>(size);
    const uint64_t sizeMB = bytes >> 20, threshold = copyThresholdMB();
    if (threshold != 0 && sizeMB >= threshold && backupType_ != kAlwaysCopied) {
        debug(1, "folder %s will not be copied - %" PRId64 " MB is larger than threshold %" PRIu64 " MB\n",
              previous.c_str(), static_cast<int64_t>(sizeMB), threshold);
        copyUponUpdate_ = false;
        return false;
    }
    const int granted = reserve(bytes, talCell_, appNumber_, prev);
    if (granted != 1) {
        debug(1, "folder %s could not be copied - reservation of %" PRId64 " bytes failed due to %s\n",
              previous.c_str(), size, granted < 0 ? "error" : "lack of space");
        lastError_ = kErrReservationRefused;
        fail("space reservation failed");
    }
    return true;
}

void JobResultsCacheDir::openPreviousState() {
    stateFile_.close();
    if (openState(stateFile_, sfReadWrite) == 0) return;
    lastError_ = stateFile_.getLastError();
    debug(1, "cannot open state file '%s' (code %d)\n", cacheDir_, lastError_);
    if (lastError_ != ENOENT) fail("open state file error");
    debug(1, "missing state file '%s' during update - attempting to restore\n", cacheDir_);
    restore();
}

// Takes the shared lock on the previous directory and checks it under that lock; the lock stays
// held for the copy or the rename.
void JobResultsCacheDir::holdPreviousIndex() {
    if (fsAccessExists(cacheDir_) != 0) {
        if (errno != ENOENT) {
            lastError_ = errno;
            fail("stat cacheDir failed");
        }
        restore();
    }
    {
        CXLockedMarkerFile marker(cacheDir_, 0);
        if (marker.isLocked() == 1) {
            debug(1, "presence of marker file in '%s' indicates an interrupted restore\n", cacheDir_);
            debug(1, "partially restored cache dir '%s' - attempting to restore again\n", cacheDir_);
            restore();
        }
    }
    openPreviousState();
    int locked = readLock(0);
    if (locked == 0) {
        // Held exclusively: a live writer is refused at once; anything else (a remover, a state
        // change of a moment) is waited for.
        unLock();
        if (peekState() == Writing) {
            lastError_ = kErrWrongState;
            fail("previous index: state error(busy writing)");
        }
        try {
            lastError_ = kErrBusy;  // what a wait that times out leaves
            locked = readLock(kLockTimeout);
            lastError_ = 0;
        } catch (const Failure&) {
            if (lastError_ != ENOENT) throw;
            locked = -1;
        }
    }
    if (locked != 1) {
        unLock();
        if (lastError_ == ENOENT) {
            debug(1, "missing state file '%s' during update - attempting to restore\n", cacheDir_);
            restore();
        }
        fail("open state file error");
    }
    // The State file read from now on is the one the lock guards.
    openPreviousState();
    if (stateError()) {
        debug(1, "cannot get state in state file '%s'\n", cacheDir_);
        restore();
    }
    switch (getState(true)) {
        case Complete:
        case Reading:
            break;
        case Suspended:
            lastError_ = kErrWrongState;
            fail("previous index: state error(suspended)");
        case Writing:
            lastError_ = kErrWrongState;
            fail("previous index: state error(busy writing)");
        default:
            lastError_ = kErrWrongState;
            fail("prevIdxCacheDir->getState() failed");
    }
    uncompress();
}

void JobResultsCacheDir::copyPreviousIndex(const std::string& from, uint32_t now) {
    if (isDebugOn(4)) debug(1, "cache dir '%s' is being copied to '%s'\n", from.c_str(), cacheDir_);
    // The shared lock on the previous directory stays held in its slot until the copy is done.
    stateFile_.close();
    composeCacheDir(now);
    const std::string to = cacheDir_;
    mkCacheDir(true);
    try {
        setState(Writing);
        stampAccessTime(now);
        CXDirectory old;
        old.setRecursion(true);
        if (old.open(from.c_str()) != 0) {
            lastError_ = old.getLastError();
            fail("cannot open old cache dir");
        }
        debug(1, "job %" PRIu64 " copying '%s' to '%s'\n", static_cast<uint64_t>(jobId_), from.c_str(), to.c_str());
        if (old.copyFiles(to.c_str(), "State") != 0) {
            lastError_ = old.getLastError();
            debug(1, "cannot copy files from '%s' to '%s' (code %d)", from.c_str(), to.c_str(), lastError_);
            fail("could not copy files to new cache directory");
        }
        // A job id file's temporary is no part of the index: its copy goes.
        removeJobIdTemporaries(true);
        dropPreviousJobFiles();
    } catch (const Failure&) {
        // The half-made directory goes under its own exclusive lock.
        const int error = lastError_;
        discard(false);
        lastError_ = error;
        throw;
    }
    unLockDirectory(from);
}

void JobResultsCacheDir::renamePreviousIndex(const std::string& from, const std::string& to, uint32_t now) {
    const bool trace = isDebugOn(4);
    if (trace) debug(1, "cache dir '%s' is being renamed to '%s'\n", from.c_str(), to.c_str());
    // The shared lock becomes exclusive on the same open file when nobody else holds it.
    // Otherwise it is let go and the exclusive lock waited for like any writer's, and the
    // directory checked again under it: two updaters that each kept their shared lock while
    // waiting would keep each other from the upgrade until the time-out.
    if (upgradeLock() != 1) holdPreviousExclusively(from);
    if (trace) debug(1, "obtained a write lock on '%s'\n", from.c_str());
    debug(1, "job %" PRIu64 " renaming '%s' to '%s'\n", static_cast<uint64_t>(jobId_), from.c_str(), to.c_str());
    // Never onto an existing name: that would be another job's directory.
    if (safeRenameNoReplace(from.c_str(), to.c_str()) != 0) {
        lastError_ = errno;
        if (trace) debug(1, "safeRename failed with errno %d\n", lastError_);
        if (lastError_ == EACCES) restore();
        fail("rename cacheDir failed");
    }
    composeCacheDir(now);
    // The lock went with the directory: it must guard the State file now at the new path.
    const std::string state = statePath();
    LockSlot* slot = &lockSlots_[currentLockSlot_];
    if (!slot->file.isStillAt(state.c_str()) || !stateFile_.isStillAt(state.c_str())) {
        lastError_ = slot->file.getLastError();
        debug(1, "cannot open state file '%s' (errno %d)\n", cacheDir_, lastError_);
        fail("open state file error");
    }
    switchLock();
    removeJobIdTemporaries(false);
    dropPreviousJobFiles();
    // Writing comes last: a failure before it leaves the renamed index as it was.
    stampAccessTime(now);
    setState(Writing);
}

// Each try opens the State file at the path afresh and waits a step for its lock in the kernel:
// the lock is taken as the reader lets it go, and when another updater renamed the directory
// meanwhile, the next try's open fails (ENOENT) instead of waiting on the moved file. Where lock
// waits poll, a try is one attempt and the step a sleep.
void JobResultsCacheDir::holdPreviousExclusively(const std::string& from) {
    const bool trace = isDebugOn(4);
    unLockDirectory(from);
    for (unsigned long waited = 0;; waited += kExclusiveStepMs) {
        const bool blocks = boundedwait::waitsBlock();
        const int locked = removalLock(0, blocks ? kExclusiveStepMs : 0);
        if (locked == 1) break;
        unLockDirectory(from);  // closes the slot that could not be locked
        if (locked < 0) {
            if (trace) debug(1, "could not obtain a write lock on '%s', errno %d\n", from.c_str(), lastError_);
            fail("previous index: gone while waiting for its lock");
        }
        if (waited >= kLockTimeout * 1000) {
            if (trace) debug(1, "could not obtain a write lock on '%s'\n", from.c_str());
            lastError_ = kErrBusy;
            restore();
        }
        if (!blocks) YUSLEEP(kExclusiveStepMs);
    }
    // Decided from what is read under the lock: the State file it guards.
    openPreviousState();
    const int state = getState(true);
    if (state != Complete && state != Reading) {
        lastError_ = state == Writing ? kErrBusy : kErrWrongState;
        fail("previous index: state changed while waiting for its lock");
    }
}

void JobResultsCacheDir::dropPreviousJobFiles() {
    for (const char* name : {"canStillResume", "JobId"}) {
        const std::string path = joinPath(cacheDir_, name);
        if (safeUnlink(path.c_str()) != 0) {
            lastError_ = errno;
            debug(1, "cannot remove '%s', errno %d\n", path.c_str(), lastError_);
            fail("cannot remove the previous job's files");
        }
    }
}
