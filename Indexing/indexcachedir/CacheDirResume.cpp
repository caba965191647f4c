// Suspend, resume and discard for resume.
//
// resume takes the newest directory of the app under the exclusive lock and decides from the
// state read under it. A directory it cannot trust is moved aside as "ready_to_resume" with the
// restart files of the transaction log kept: the move comes first, under the lock, and only then
// are the index files and State deleted inside the moved directory, so no cleanup ever finds the
// directory without its State while the restart files are still in it. An existing
// "ready_to_resume" is never replaced: the move fails and the directory stays as it was.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "Indexing/icommon/SafeFileOps.h"
#include "Indexing/idxport/CXDirectory.h"
#include "Indexing/idxport/FsPrimitives.h"
#include "Indexing/indexcachedir/JobResultsCacheDir.h"

namespace {
constexpr unsigned long kLockTimeout = 60;
constexpr unsigned long kDiscardLine = 127;

// The files a job restarts its index from.
bool isRestartFile(const char* name) {
    return strcmp(name, "current_chunk") == 0 || strcmp(name, "TL_RST.cfg") == 0 || strstr(name, ".start.") != nullptr ||
           strstr(name, ".trn") != nullptr;
}
}  // namespace

int JobResultsCacheDir::suspend() {
    if (!isInitialized()) return -1;
    if (resumedCompleted_) {
        debug(1, "suspending a completed index - forcing a close");
        resumedCompleted_ = false;
        return close(true);
    }
    try {
        if (cacheDir_ == nullptr || !stateFile_.isOpen()) {
            lastError_ = kErrNotOpened;
            fail("object not opened");
        }
        switch (getState(true)) {
            case Writing:
                // Only the writer suspends: an object that does not hold the directory (opened
                // busy) would suspend another process's index.
                if (!alreadyLocked()) {
                    lastError_ = kErrBusy;
                    fail("index already updating");
                }
                setState(Suspended);
                unLock();
                dropCacheDir();
                stateFile_.close();
                return 0;
            case Suspended:
                lastError_ = kErrWrongState;
                fail("already suspended");
            case Complete:
            case Reading:
                lastError_ = kErrWrongState;
                fail("object is COMPLETE, can't suspend");
            default:
                lastError_ = kErrWrongState;
                fail("getState() failed");
        }
    } catch (const Failure& failure) {
        ev() << appToString(talCell_, appNumber_);
        ev().MajorEvent(0xE00003C, getJobId(), 0);
        debug(1, "suspend(): %s: errno=%d\n", failure.text, lastError_);
        return -1;
    }
}

char* JobResultsCacheDir::resume(int64_t expectedJobId, bool /*unused*/) {
    if (!isInitialized()) return nullptr;
    resumeRejected_ = false;
    lastError_ = 0;
    resumedCompleted_ = false;
    char* path = resumeNewest(expectedJobId);
    // While another process still runs the job its collect list is its own.
    if (lastError_ != kErrBusy) removeCollectList();
    return path;
}

void JobResultsCacheDir::removeCollectList() {
    if (cacheFs_ == nullptr) return;
    char name[32];
    snprintf(name, sizeof name, "%" PRIu64 ".txt", static_cast<uint64_t>(getJobId()));
    const std::string list = joinPath(joinPath(cacheFs_, "collects"), name);
    if (safeUnlink(list.c_str()) != 0)
        debug(1, "resume: Failed to delete list file '%s', errno=%d", list.c_str(), errno);
}

char* JobResultsCacheDir::resumeNewest(int64_t expectedJobId) {
    try {
        if (cacheFs_ == nullptr) fail("no cache fs");
        if (cacheDir_ != nullptr) {
            lastError_ = kErrNotOpened;
            fail("object already opened");
        }
        busyOpen_ = false;
        const unsigned long newest = backSearch();
        if (newest == 0) {
            lastError_ = kErrNoPreviousBackup;
            fail("previous backup not found");
        }
        composeCacheDir(static_cast<uint32_t>(newest));
        if (fsAccessExists(cacheDir_) != 0) {
            lastError_ = errno;
            debug(1, "resume cannot stat %s, errno %d\n", cacheDir_, lastError_);
            fail("stat cacheDir failed");
        }
        openStateForResume();
        holdForResume();
        if (expectedJobId != 0 && !jobIdFileMatches(expectedJobId)) {
            if (alreadyLocked()) unLock();
            stateFile_.close();
            return nullptr;
        }
        const uint32_t now = getCurrentTime();
        if (now == 0) {
            lastError_ = kErrNoCurrentTime;
            fail("getCurrentTime failed");
        }
        // Writing comes last: a failure before it leaves the index to be resumed again.
        stampAccessTime(now);
        setState(Writing);
        if (expectedJobId != 0) createJobIdFile();
        return cacheDir_;
    } catch (const Failure& failure) {
        letGoAfterFailure({cacheDir_ != nullptr ? cacheDir_ : ""});
        debug(1, "resume(): %s: errno=%d\n", failure.text, lastError_);
        return nullptr;
    }
}

void JobResultsCacheDir::openStateForResume() {
    stateFile_.close();
    if (openState(stateFile_, sfReadWrite) == 0) return;
    lastError_ = stateFile_.getLastError();
    debug(1, "resume cannot open %s, errno %d\n", cacheDir_, lastError_);
    fail("state file open failed");
}

// Takes the exclusive lock on the newest directory and accepts it, or throws why not. A state
// read without the lock only chooses between refusing at once and waiting for the lock.
void JobResultsCacheDir::holdForResume() {
    int locked = writeLock(0);
    if (locked == 0) {
        unLock();
        const int seen = peekState();
        if (seen == Writing || seen == -2) {
            debug(1, "resume: directory %s is busy\n", cacheDir_);
            lastError_ = kErrBusy;
            fail("index already updating");
        }
        if (seen == Reading) {
            lastError_ = kErrWrongState;
            fail("the last index is already completed");
        }
        lastError_ = kErrBusy;  // what a wait that times out leaves
        locked = writeLock(kLockTimeout);
        lastError_ = 0;
    }
    if (locked != 1) {
        unLock();
        debug(1, "resume cannot open %s, errno %d\n", cacheDir_, lastError_);
        fail("state file open failed");
    }
    // The State file read from now on is the one the lock guards.
    openStateForResume();
    // The newest directory was chosen before the wait: another job may have updated from it
    // meanwhile, and a resume into it would write a branch that later jobs never read.
    if (backSearch() != timeStamp_) {
        debug(1, "resume: a newer directory than %s was made while resume waited\n", cacheDir_);
        lastError_ = kErrWrongState;
        fail("the last index is already completed");
    }
    switch (getState(true)) {
        case Writing: {
            // The lock was free: the writer is gone and the index cannot be trusted.
            const std::string copy = defaultCopyDir(false);
            if (!copy.empty() && fsExists(copy.c_str())) {
                debug(1, "resume: copy '%s' exists (cacheDir='%s' in writing state)", copy.c_str(), cacheDir_);
            } else {
                debug(1, "resume: discarding directory %s in writing state\n", cacheDir_);
                discardForResume(false);
            }
            fail("index corrupted");
        }
        case Complete:
            if (!fsExists(joinPath(cacheDir_, "canStillResume").c_str())) {
                lastError_ = kErrWrongState;
                fail("the last index is already completed");
            }
            resumedCompleted_ = true;
            debug(1, "resuming a completed index '%s'", cacheDir_);
            return;
        case Suspended:
            return;
        case Reading:
            lastError_ = kErrWrongState;
            fail("the last index is already completed");
        default:
            lastError_ = kErrWrongState;
            fail("getState() failed");
    }
}

// Checked under the exclusive lock before anything is changed: a directory of another job is
// moved aside, one that cannot be moved keeps its state.
bool JobResultsCacheDir::jobIdFileMatches(int64_t expectedJobId) {
    int64_t fileJobId = 0;
    std::string maName;
    unsigned phase = 0, attempt = 0, counter = 0;
    // A file that could not be read right now (no descriptor left, an I/O error, no access)
    // tells nothing about whose index this is: the resume fails and the index stays as it is.
    if (readJobIdLine(&fileJobId, &maName, &phase, &attempt, &counter) == JobIdFileRead::Unreadable) {
        lastError_ = jobIdReadError_;
        fail("cannot read the job id file");
    }
    std::string reason;
    if (isJobIdFileValid(&reason)) {
        setJobIndexWriteCounter(counter + 1);
        return true;
    }
    discardForResume(false);
    debug(1, "resume: phase/attempt for job id %" PRIu64 " (MA '%s') in cache does not match expected %" PRIu64
             " with err='%s'\n",
          static_cast<uint64_t>(fileJobId), maName.c_str(), static_cast<uint64_t>(expectedJobId), reason.c_str());
    resumeRejected_ = true;
    resumedCompleted_ = false;
    return false;
}

int JobResultsCacheDir::discardForResume(bool force) {
    if (!isInitialized()) return -1;
    const bool heldBefore = cacheDir_ != nullptr && alreadyLocked();
    bool removing = false, openedHere = false;
    try {
        if (cacheDir_ == nullptr || (!stateFile_.isOpen() && !force)) {
            lastError_ = kErrNotOpened;
            fail("object not opened");
        }
        // Even when forced, a directory is never emptied under a process that holds it: only a
        // directory without a State file goes without the lock.
        if (!stateFile_.isOpen()) {
            if (openState(stateFile_, sfReadWrite) == 0) {
                openedHere = true;
            } else if (stateFile_.getLastError() != ENOENT) {
                lastError_ = stateFile_.getLastError();
                fail("state file open failed");
            }
        }
        if (stateFile_.isOpen()) {
            char stateLine[kDiscardLine], atimeLine[kDiscardLine];
            readStateLines(stateLine, atimeLine, kDiscardLine);
            debug(1, "Discarding %s state '%s' atime '%s'\n", cacheDir_, stateLine, atimeLine);
            holdForRemoval(openedHere ? 0 : kLockTimeout);
            removing = true;
        }
        // Moved first, State and all: until it is out of the app's time stamps it keeps its State.
        // An empty "ready_to_resume" (a discard that kept no restart files) holds nothing to
        // keep and would refuse every later move: it goes; rmdir never takes a non-empty one.
        const std::string aside = joinPath(parentPath(cacheDir_), "ready_to_resume");
        if (safeRmdir(aside.c_str()) != 0 && errno != ENOENT && errno != ENOTEMPTY && errno != EEXIST)
            debug(1, "discardForResume: cannot remove the empty '%s', errno=%d", aside.c_str(), errno);
        if (safeRenameNoReplace(cacheDir_, aside.c_str()) != 0) {
            lastError_ = errno;
            fail("cannot remove directory");
        }
        keepOnlyRestartFiles(aside);
        const std::string state = joinPath(aside, "State");
        if (safeUnlink(state.c_str()) != 0) {
            lastError_ = errno;
            fail("cannot remove lock file");
        }
        if (alreadyLocked()) unLock();
        stateFile_.close();
        return 0;
    } catch (const Failure& failure) {
        if (!clientCache_) raiseMajorEvent(0xE000040, "NULL");
        // A holder whose directory another process also holds keeps its own lock.
        if ((removing || !heldBefore) && alreadyLocked()) unLock();
        if (openedHere) stateFile_.close();
        debug(1, "discard(): %s: errno=%d\n", failure.text, lastError_);
        return -1;
    }
}

void JobResultsCacheDir::keepOnlyRestartFiles(const std::string& directory) {
    CXDirectory entries;
    if (entries.open(directory.c_str()) != 0) {
        lastError_ = entries.getLastError();
        fail("cannot open cache dir");
    }
    for (const char* name = entries.read(); name != nullptr; name = entries.read()) {
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || strcmp(name, "State") == 0 || isRestartFile(name))
            continue;
        const std::string path = joinPath(directory, name);
        if (safeUnlink(path.c_str()) != 0)
            debug(1, "discardForResume: Failed to delete state file '%s', errno=%d", path.c_str(), errno);
    }
    entries.close();
}
