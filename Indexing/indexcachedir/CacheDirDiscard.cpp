// How directories leave the cache: discard, uncache, failed newer directories; failing a job
// and keeping a failed job's directory for diagnosis.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "Indexing/icommon/IdentityHelpers.h"
#include "Indexing/icommon/SafeFileOps.h"
#include "Indexing/idxport/CXDirectory.h"
#include "Indexing/idxport/FsEntryStatus.h"
#include "Indexing/idxport/FsPrimitives.h"
#include "Indexing/indexcachedir/JobResultsCacheDir.h"
#include "Platform/KRBkpJobClient.h"
#include "Platform/KRPI_Focus.h"
#include "Platform/KRPlatformInfo.h"
#include "Platform/KrTime.h"
#include "Platform/PlatformSleep.h"

namespace {
constexpr unsigned long kDiscardLine = 127;
}  // namespace

void JobResultsCacheDir::readStateLines(char* state, char* atime, unsigned long size) {
    snprintf(state, size, "%s", "<no state>");
    snprintf(atime, size, "%s", "<no atime>");
    if (stateFile_.seek(0, sfSeekSet) != 0) return;
    if (stateFile_.getLine(state, size) <= 0) snprintf(state, size, "%s", "<no state>");
    if (stateFile_.getLine(atime, size) <= 0) snprintf(atime, size, "%s", "<no atime>");
}

namespace {
// On a network share (NFS, SMB, FUSE) a file unlinked while still open lingers under a hidden
// name (".nfsXXXX", ".fuse_hiddenXXXX", ".smbdeleteXXXX") until its last descriptor closes.
bool onlyShareLeftovers(const char* dir) {
    CXDirectory directory;
    if (directory.open(dir) != 0) return false;
    bool only = true;
    for (char* name = directory.read(); name != nullptr && only; name = directory.read()) {
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
        only = strncmp(name, ".nfs", 4) == 0 || strncmp(name, ".fuse_hidden", 12) == 0 ||
               strncmp(name, ".smbdelete", 10) == 0;
    }
    directory.close();
    return only;
}
}  // namespace

// The unlinked State, open until the lock went, kept the directory from emptying on a share: once
// it is closed the client removes it, soon but not always at once. A creator granted the lock in
// between makes State again, and then the directory is its own.
int JobResultsCacheDir::removeAfterShareLeftovers(const char* dir) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (!onlyShareLeftovers(dir)) return ENOTEMPTY;
        if (safeRmdir(dir) == 0) return 0;
        if (errno != ENOTEMPTY) return errno;
        YUSLEEP(10);
    }
    return ENOTEMPTY;
}

int JobResultsCacheDir::discard(bool unusable) {
    if (!isInitialized()) return -1;
    bool removing = false;
    const bool heldBefore = cacheDir_ != nullptr && alreadyLocked();
    try {
        if (cacheDir_ == nullptr || !stateFile_.isOpen()) {
            lastError_ = kErrNotOpened;
            fail("object not opened");
        }
        char stateLine[kDiscardLine], atimeLine[kDiscardLine];
        readStateLines(stateLine, atimeLine, kDiscardLine);
        if (unusable) {
            char when[64];
            debug(1, "DiscardUnusable '%s' [%s]", cacheDir_, KrTime(static_cast<time_t>(timeStamp_), when, sizeof when, true));
            debug(4, "state '%s' atime '%s'", stateLine, atimeLine);
        }
        // The exclusive lock is held until State and the directory are gone: a process granted
        // the lock after that finds its file unlinked and leaves the directory alone.
        holdForRemoval();
        removing = true;
        stateFile_.truncate();

        CXDirectory directory;
        if (directory.open(cacheDir_) != 0) {
            lastError_ = directory.getLastError();
            fail("cannot open cache dir");
        }
        // Subdirectories of the index go too: the directory itself is removed below.
        directory.setRecursion(true);
        if (directory.removeFiles("State") != 0) {
            lastError_ = directory.getLastError();
            debug(1, "cannot remove files from %s, code %d\n", cacheDir_, lastError_);
        }
        directory.close();
        const std::string state = statePath();
        if (safeUnlink(state.c_str()) != 0 && errno != ENOENT) {
            lastError_ = errno;
            fail("cannot remove lock file");
        }
        // The lock goes only with the directory: a creator granted it earlier would make State
        // again in the emptied directory, and the rmdir would then fail.
        int rmdirError = safeRmdir(cacheDir_) == 0 ? 0 : errno;
        stateFile_.close();
        unLock();
        if (rmdirError == ENOTEMPTY) rmdirError = removeAfterShareLeftovers(cacheDir_);
        if (rmdirError != 0) {
            lastError_ = rmdirError;
            fail("cannot remove directory");
        }
        dropCacheDir();
        return 0;
    } catch (const Failure& failure) {
        if (!clientCache_) {
            ev() << (cacheDir_ != nullptr ? cacheDir_ : "NULL");
            ev().MajorEvent(0xE000040, getJobId(), 0);
        }
        // A holder whose directory another process also holds keeps its own lock.
        if ((removing || !heldBefore) && cacheDir_ != nullptr && alreadyLocked()) unLock();
        debug(1, "discard(): %s: errno=%d\n", failure.text, lastError_);
        return -1;
    }
}

int JobResultsCacheDir::removeUnreadable() {
    if (!isInitialized() || cacheDir_ == nullptr || stateFile_.isOpen()) {
        lastError_ = kErrNotOpened;
        return -1;
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (openState(stateFile_, sfReadWrite) != 0) {
            if (stateFile_.getLastError() != ENOENT) {
                lastError_ = stateFile_.getLastError();
                return -1;
            }
            // No State file: the remover makes one to hold the lock on, so that no creator
            // works in the directory while it is emptied. A creator that made State first wins.
            if (openState(stateFile_, sfCreateNew) != 0) {
                lastError_ = stateFile_.getLastError();
                if (lastError_ == EEXIST) continue;
                return lastError_ == ENOENT ? 0 : -1;  // the directory itself is gone
            }
        }
        const int locked = removalLock(0);
        if (locked == 1) return discard(false) == 0 ? 0 : -1;
        unLock();
        stateFile_.close();
        if (locked == 0) return 1;
        if (lastError_ != ENOENT) return -1;
    }
    return 1;
}

int JobResultsCacheDir::unCache(bool lowSpace, unsigned long talCell, unsigned long app, unsigned long timeStamp) {
    return unCacheWorker(lowSpace ? "LowSpaceRemoval" : "AgeBasedRemoval", talCell, app, timeStamp);
}

int JobResultsCacheDir::routineUnCache(bool /*lowSpace*/, unsigned long talCell, unsigned long app,
                                       unsigned long timeStamp) {
    return unCacheWorker("RoutineRemoval", talCell, app, timeStamp);
}

int JobResultsCacheDir::unCacheWorker(const char* kind, unsigned long talCell, unsigned long app,
                                      unsigned long timeStamp) {
    if (!isInitialized()) return -1;
    const char* path = cacheDir_ != nullptr ? cacheDir_ : "NULL";
    if (talCell != 0 && app != 0 && timeStamp != 0 && talCell == talCell_ && app == appNumber_ &&
        timeStamp == timeStamp_) {
        debug(1, "%s '%s' NOT REMOVED\n", kind, path);
        return 0;
    }
    debug(1, "%s '%s' [%s]\n", kind, path, dateToString(timeStamp_));
    try {
        if (cacheDir_ == nullptr || stateFile_.isOpen()) {
            lastError_ = kErrNotOpened;
            fail("object is not ready to be unCached");
        }
        if (openState(stateFile_, sfReadWrite, 15) != 0) {
            lastError_ = stateFile_.getLastError();
            debug(1, "cannot open state file '%s' (code %d) for unCache\n", cacheDir_, lastError_);
            if (lastError_ != ENOENT) fail("State file open error");
            const int removed = removeUnreadable();
            if (removed == 1) debug(1, "%s: cannot discard directory %s\n", kind, path);
            if (removed < 0) {
                debug(1, "%s: after State file open error, rmdir(%s) returns %d, errno %d\n", kind, path, removed,
                      lastError_);
                fail("rmdir error (State file missing)");
            }
            return 0;
        }
        const int locked = removalLock(0);
        if (locked == 1) {
            if (discard(false) != 0) fail("discard failed");
            return 0;
        }
        unLock();  // closes the slot that could not be locked
        stateFile_.close();
        if (locked == 0) {
            debug(1, "%s: cannot discard directory %s\n", kind, cacheDir_);
        } else if (lastError_ != ENOENT) {
            fail("State file open error");
        }
        return 0;  // busy, or removed by another process meanwhile
    } catch (const Failure& failure) {
        if (cacheDir_ != nullptr && alreadyLocked()) unLock();
        stateFile_.close();
        debug(1, "%s: %s: errno=%d\n", kind, failure.text, lastError_);
        return -1;
    }
}

void JobResultsCacheDir::cleanFailedCachedirs(unsigned long limit) {
    if (clientCache_ || (talCell_ == 0 && appNumber_ == 0)) return;
    unsigned long previous = 0;
    for (;;) {
        unsigned long newest = 0;
        if (searchDirectoryByTime(0xFFFFFFFFu, &newest, true) != 0) return;
        if (newest <= limit || newest == previous) return;
        previous = newest;
        composeCacheDir(static_cast<uint32_t>(newest));
        if (openState(stateFile_, sfReadWrite) != 0) {
            // Without a State file the directory is another job's, made a moment ago: it is
            // left to that job (the age cleanup removes one that stays like that).
            debug(1, "cannot open state file '%s' (code %d) for cleanup\n", cacheDir_, stateFile_.getLastError());
            continue;
        }
        // A directory whose lock someone holds is another job's live one (made while this
        // job looked for the newest), not a failed one: it is never waited for or removed.
        if (removalLock(0) != 1) {
            debug(1, "cleanFailedCachedirs: directory %s is in use, left alone", cacheDir_);
            unLock();
            stateFile_.close();
            continue;
        }
        debug(1, "cleanFailedCachedirs: discarding directory %s with time stamp > %u", cacheDir_,
              static_cast<unsigned>(limit));
        discard(true);
        stateFile_.close();
    }
}

namespace {
// True when the directory holds no entry but State (and cannot be listed: false).
bool holdsOnlyState(const char* dir) {
    CXDirectory listing;
    if (listing.open(dir) != 0) return false;
    bool only = true;
    while (const char* name = listing.read())
        only = only && (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || strcmp(name, "State") == 0);
    return only && listing.getLastError() == 0;
}

bool unchangedFor(const std::string& path, int64_t seconds) {
    FsEntryStatus status;
    return fsEntryStatus(path.c_str(), status) == 0 && fsNowSeconds() - status.modifiedSeconds() >= seconds;
}
}  // namespace

// A kill inside create before State has its first line leaves a directory that no process can
// tell from one being made, and an update stops at it as the newest. Only its age tells: a live
// creator writes State within a minute of its mkdir. Such a directory is removed only while empty
// (rmdir), or holding nothing but the empty State under its exclusive lock, which is kept until
// State is gone: whatever else a directory holds is never removed on a guess.
bool JobResultsCacheDir::removeAbandonedCreate() {
    if (clientCache_ || cacheDir_ == nullptr || stateFile_.isOpen() || !unchangedFor(cacheDir_, kAbandonedCreateSeconds))
        return false;
    const std::string state = statePath();
    if (openState(stateFile_, sfReadWrite) != 0) {
        if (stateFile_.getLastError() != ENOENT) return false;
        if (fsRmdir(cacheDir_) != 0) {
            debug(1, "%s has no State file but cannot be removed as empty (errno %d): left alone\n", cacheDir_, errno);
            return false;
        }
        debug(1, "removed %s: a create killed before it made State\n", cacheDir_);
        return true;
    }
    // A State with its lines (the usual newest index) is never locked here: readers and writers
    // of it are not held up. Only an empty or torn one is, and decided on again under the lock.
    bool removed = false;
    if (peekState() == -2 && unchangedFor(state, kAbandonedCreateSeconds) && stateFile_.lock(sfLockExclusive, 0) == 1 &&
        stateFile_.isStillAt(state.c_str()) && peekState() == -2 && holdsOnlyState(cacheDir_)) {
        removed = safeUnlink(state.c_str()) == 0 && fsRmdir(cacheDir_) == 0;
        debug(1, "%s %s: a create killed before it wrote State (errno %d)\n", removed ? "removed" : "cannot remove",
              cacheDir_, removed ? 0 : errno);
    }
    if (stateFile_.isLocked()) stateFile_.unlock();
    stateFile_.close();
    return removed;
}

int JobResultsCacheDir::failJob(bool wholeJob) {
    const int64_t job = getJobId();
    debug(1, "failJob: failing %s (jobId=%" PRId64 ")\n", wholeJob ? "whole job" : "phase only", job);
    const std::string server = getTalServe();
    if (server.empty()) {
        debug(1, "failJob: cannot obtain TalServer name\n");
        return -1;
    }
    KRBkpJobClient client;
    if (!client.init(server.c_str(), job, 1, KRS_PLATFORMTYPE_MEDIAAGENT, false, nullptr)) {
        debug(1, "failJob: job object init failed (TalServer=%s, jobId=%" PRId64 ")\n", server.c_str(), job);
        return -1;
    }
    if (!client.complete(KRJOBSTATUS_FAILED, wholeJob ? KRJOBSTATUSFOR_JOB : KRJOBSTATUSFOR_PHASE, 0, 0)) {
        debug(1, "failJob: unable to fail the %s (TalServer=%s, jobId=%" PRId64 ")\n", wholeJob ? "job" : "phase",
              server.c_str(), job);
        return -1;
    }
    return 0;
}

void JobResultsCacheDir::preserveFailedCache(const char* suffix) {
    if (cacheDir_ == nullptr) return;
    KRPlatformInfo info;
    info.setFocus(KRPI_Focus::getFocus());
    int preserve = 0;
    if (!info.getRegInt("~MediaAgent", "nPRESERVEFAILEDICD", &preserve) || preserve == 0) return;
    const std::string target = std::string(cacheDir_) + (suffix != nullptr ? suffix : "_preservedAfterFailed");
    if (fsMkdir(target.c_str(), 0755) != 0 && errno != EEXIST) {
        debug(1, "preserveFailedCache: cannot mkdir %s (errno %d)\n", target.c_str(), errno);
        return;
    }
    CXDirectory directory;
    directory.setRecursion(true);
    int opened = directory.open(cacheDir_);
    if (opened != 0) {
        debug(1, "preserveFailedCache: Failed to preserve failed ICD '%s' to '%s' with result=%d", cacheDir_,
              target.c_str(), opened);
        return;
    }
    int copied = directory.copyFiles(target.c_str(), nullptr);
    debug(1, "preserveFailedCache: Files were copied from '%s' to '%s' with result=%d", cacheDir_, target.c_str(),
          copied);
}
