// How directories leave the cache: discard, uncache, failed newer directories; failing a job
// and keeping a failed job's directory for diagnosis.
#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "Indexing/icommon/IdentityHelpers.h"
#include "Indexing/icommon/SafeFileOps.h"
#include "Indexing/idxport/CXDirectory.h"
#include "Indexing/idxport/FsPrimitives.h"
#include "Indexing/indexcachedir/JobResultsCacheDir.h"
#include "Platform/KRBkpJobClient.h"
#include "Platform/KRPI_Focus.h"
#include "Platform/KRPlatformInfo.h"
#include "Platform/KrTime.h"

namespace {
constexpr unsigned long kDiscardLine = 127;
}  // namespace

int JobResultsCacheDir::discard(bool unusable) {
    if (!isInitialized()) return -1;
    try {
        if (cacheDir_ == nullptr || !stateFile_.isOpen()) {
            lastError_ = kErrNotOpened;
            fail("object not opened");
        }
        char stateLine[kDiscardLine] = "<no state>", atimeLine[kDiscardLine] = "<no atime>";
        char line[kDiscardLine];
        if (stateFile_.seek(0, sfSeekSet) == 0) {
            if (stateFile_.getLine(line, sizeof line) > 0) strcpy(stateLine, line);
            if (stateFile_.getLine(line, sizeof line) > 0) strcpy(atimeLine, line);
        }
        if (unusable) {
            char when[64];
            debug(1, "DiscardUnusable '%s' [%s]", cacheDir_, KrTime(static_cast<time_t>(timeStamp_), when, sizeof when, true));
            debug(4, "state '%s' atime '%s'", stateLine, atimeLine);
        }
        if (!alreadyLocked()) writeLock(60);
        stateFile_.truncate();
        stateFile_.close();

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
        unLock();
        const std::string state = statePath();
        if (fsAccessExists(state.c_str()) == 0 && safeUnlink(state.c_str()) != 0) {
            lastError_ = errno;
            fail("cannot remove lock file");
        }
        if (safeRmdir(cacheDir_) != 0) {
            lastError_ = errno;
            fail("cannot remove directory");
        }
        dropCacheDir();
        return 0;
    } catch (const Failure& failure) {
        if (!clientCache_) {
            ev() << (cacheDir_ != nullptr ? cacheDir_ : "NULL");
            ev().MajorEvent(0xE000040, getJobId(), 0);
        }
        if (cacheDir_ != nullptr && alreadyLocked()) unLock();
        debug(1, "discard(): %s: errno=%d\n", failure.text, lastError_);
        return -1;
    }
}

int JobResultsCacheDir::removeWithoutState(const char* path) {
    CXDirectory directory;
    if (directory.open(path) != 0) {
        debug(1, "cannot open dir %s, code %d\n", path, directory.getLastError());
    } else {
        directory.setRecursion(true);
        if (directory.removeFiles(nullptr) != 0)
            debug(1, "cannot remove files in %s, code %d\n", path, directory.getLastError());
        directory.close();
    }
    return safeRmdir(path);
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
        if (stateFile_.open(statePath().c_str(), sfReadWrite, 15) != 0) {
            lastError_ = stateFile_.getLastError();
            debug(1, "cannot open state file '%s' (code %d) for unCache\n", cacheDir_, lastError_);
            if (lastError_ != ENOENT) fail("State file open error");
            int removed = removeWithoutState(cacheDir_);
            if (removed != 0) {
                lastError_ = errno;
                debug(1, "%s: after State file open error, rmdir(%s) returns %d, errno %d\n", kind, cacheDir_, removed,
                      lastError_);
                fail("rmdir error (State file missing)");
            }
            return 0;
        }
        if (writeLock(0) == 1) {
            discard(false);
        } else {
            debug(1, "%s: cannot discard directory %s\n", kind, cacheDir_);
            unLock();  // closes the slot that could not be locked
        }
        stateFile_.close();
        return 0;
    } catch (const Failure& failure) {
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
        if (stateFile_.open(statePath().c_str(), sfReadWrite) == 0) {
            // A directory whose lock someone holds is another job's live one (made while this
            // job looked for the newest), not a failed one: it is never waited for or removed.
            if (writeLock(0) != 1) {
                debug(1, "cleanFailedCachedirs: directory %s is in use, left alone", cacheDir_);
                unLock();
                stateFile_.close();
                continue;
            }
            debug(1, "cleanFailedCachedirs: discarding directory %s with time stamp > %u", cacheDir_,
                  static_cast<unsigned>(limit));
            discard(true);
            stateFile_.close();
            continue;
        }
        const int error = stateFile_.getLastError();
        debug(1, "cannot open state file '%s' (code %d) for cleanup\n", cacheDir_, error);
        if (error == ENOENT && removeWithoutState(cacheDir_) != 0)
            debug(1, "cannot remove dir %s, code %d\n", cacheDir_, errno);
    }
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
