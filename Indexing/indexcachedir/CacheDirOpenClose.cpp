// The searches over an app's time-stamp directories, and create, open and close.
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "Indexing/idxport/CXDirectory.h"
#include "Indexing/idxport/CXLockedMarkerFile.h"
#include "Indexing/idxport/FsPrimitives.h"
#include "Indexing/indexcachedir/JobResultsCacheDir.h"
#include "Platform/PlatformSleep.h"

namespace {
// A backup directory's name: non-empty, ASCII digits only, a 32-bit number.
bool timeStampOf(const char* name, uint32_t& value) {
    if (*name == '\0') return false;
    uint64_t number = 0;
    for (const char* c = name; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') return false;
        number = number * 10 + static_cast<uint64_t>(*c - '0');
        if (number > 0xFFFFFFFFu) return false;
    }
    value = static_cast<uint32_t>(number);
    return true;
}
}  // namespace

unsigned long long JobResultsCacheDir::clientEventValue() const {
    return (static_cast<unsigned long long>(appNumber_) << 32) | timeStamp_;
}

void JobResultsCacheDir::stampAccessTime(uint32_t now) {
    char atime[32];
    snprintf(atime, sizeof atime, "%lu    ", static_cast<unsigned long>(now));
    if (putAtime(atime) != 0) {
        lastError_ = stateFile_.getLastError();
        fail("State file putLine error");
    }
}

void JobResultsCacheDir::dropCacheDir() {
    delete[] cacheDir_;
    cacheDir_ = nullptr;
}

int JobResultsCacheDir::searchDirectoryByTime(unsigned long time, unsigned long* found, bool backward) {
    if (!isInitialized()) return -3;
    if (cacheFs_ == nullptr) {
        debug(1, "searchDirectoryByTime(): %s: errno=%d\n", "no cache fs", lastError_);
        return -3;
    }
    const std::string appDir = joinPath(joinPath(cacheFs_, std::to_string(talCell_)), std::to_string(appNumber_));
    CXDirectory directory;
    if (directory.open(appDir.c_str()) != 0) {
        lastError_ = directory.getLastError();
        return lastError_ == ENOENT ? -2 : -3;
    }
    const uint32_t limit = static_cast<uint32_t>(time);
    const uint32_t start = backward ? 0 : 0xFFFFFFFFu;
    uint32_t kept = start;
    for (char* name = directory.read(); name != nullptr; name = directory.read()) {
        uint32_t value = 0;
        if (!timeStampOf(name, value)) continue;
        if (backward ? (value <= limit && value > kept) : (value >= limit && value < kept)) kept = value;
    }
    if (directory.getLastError() != 0) {
        lastError_ = directory.getLastError();
        debug(1, "cache directory %s error (code %d)\n", appDir.c_str(), lastError_);
        return -3;
    }
    if (directory.close() != 0) return -3;
    if (kept == start) return -1;
    if (found != nullptr) *found = kept;
    return 0;
}

unsigned long JobResultsCacheDir::backSearch(unsigned long time, bool /*unused*/) {
    if (!isInitialized()) return 0;
    unsigned long found = 0;
    int result = searchDirectoryByTime(time == 0 ? 0xFFFFFFFFu : time, &found, true);
    if (result == 0) return found;
    if (result == -3) {
        if (appType_ != kAppTypeOptionalIndex) lastError_ = kErrNoPreviousBackup;
        fail("backSearch: other error");
    }
    return 0;
}

unsigned long JobResultsCacheDir::backSearch() {
    try {
        unsigned long found = 0;
        if (searchDirectoryByTime(0xFFFFFFFFu, &found, true) < -2) fail("cache search error");
        return std::max(found, backSearch(0xFFFFFFFFu, false));
    } catch (const Failure& failure) {
        ev() << appToString(talCell_, appNumber_);
        ev().MajorEvent(0xE000036, getJobId(), 0);
        debug(1, "backSearch(): %s: errno=%d\n", failure.text, lastError_);
        fail("backSearch() exception");
    }
}

void JobResultsCacheDir::restore() {
    debug(1, "restore() NOT supported\n");
    fail("restore exception");
}

char* JobResultsCacheDir::create(unsigned long timeStamp) {
    if (!isInitialized()) return nullptr;
    try {
        if (cacheFs_ == nullptr) fail("no cache fs");
        // Refused before anything changes: the path and lock of an index this object holds
        // must stay, or its close could never complete it.
        if (stateFile_.isOpen()) {
            lastError_ = kErrNotOpened;
            fail("object already opened");
        }
        if (!clientCache_) dropCacheDir();
        busyOpen_ = false;
        if (clientCache_ && cacheDir_ == nullptr) {
            debug(1, "no cacheDir for client cache create\n");
            return nullptr;
        }
        const uint32_t now = getCurrentTime();
        if (now == 0) {
            lastError_ = kErrNoCurrentTime;
            fail("getCurrentTime failed");
        }
        if (!clientCache_) {
            const unsigned long newest = backSearch(0, false);
            uint32_t stamp = static_cast<uint32_t>(timeStamp);
            if (stamp == 0) {
                if (now <= newest) {
                    ev().CriticalEvent(0xE000053, getJobId(), 0);
                    lastError_ = kErrClockBackwards;
                    fail("server clock has gone backwards");
                }
                stamp = now;
            }
            cleanFailedCachedirs(newest);
            composeCacheDir(stamp);
        }
        mkCacheDir(!clientCache_);
        try {
            setState(Writing);
            stampAccessTime(now);
        } catch (const Failure&) {
            // A directory left with an empty or Writing State and no holder would stop every
            // later update of the app: the new one goes while its exclusive lock is still held.
            // A client cache's directory may be an existing one and stays.
            const int error = lastError_ != 0 ? lastError_ : stateFile_.getLastError();
            if (!clientCache_ && discard(false) != 0) debug(1, "create: cannot remove %s\n", cacheDir_);
            lastError_ = error != 0 ? error : kErrStateUnreadable;
            throw;
        }
        return cacheDir_;
    } catch (const Failure& failure) {
        if (clientCache_) {
            ev() << clientEventValue();
            ev().MajorEvent(0xE00003A, getJobId(), 0);
        } else {
            ev() << appToString(talCell_, appNumber_) << dateToString(timeStamp);
            ev().MajorEvent(0xE000039, getJobId(), 0);
        }
        debug(1, "create(int): %s: errno=%d\n", failure.text, lastError_);
        return nullptr;
    }
}

int JobResultsCacheDir::peekState() {
    try {
        return getState(false);
    } catch (const Failure&) {
        return -2;
    }
}

// With the lock held: the state read now is the one to act on.
JobResultsCacheDir::Candidate JobResultsCacheDir::decideUnderLock(bool fallback) {
    const int state = peekState();
    switch (state) {
        case Complete:
        case Reading:
            return Candidate::Held;
        case Suspended:
            return Candidate::Suspended;
        case Writing:
            if (clientCache_) return Candidate::BusyOpen;
            // A shared lock granted on a directory in Writing: its writer is gone. It is
            // discarded only when no other process holds it at all.
            if (LockSlot* slot = currentSlot(); slot->exclusive || slot->file.convertLock(sfLockExclusive) == 1) {
                slot->exclusive = true;
                if (peekState() == Writing) {
                    debug(1, "open: discarding directory %s in writing state\n", cacheDir_);
                    if (discard(true) == 0) {
                        lastError_ = ENOENT;  // gone: its writer ended without closing it
                        return Candidate::StepBack;
                    }
                }
            }
            lastError_ = kErrBusy;
            return Candidate::StepBack;
        case -2:
            // Empty or torn: a creator that has not written it yet, or one that died doing so.
            return fallback ? Candidate::StepBack : Candidate::Unreadable;
        default:
            lastError_ = kErrWrongState;
            fail("getState() failed");
    }
}

// Another process holds the lock in a mode that excludes this one: the state tells how to wait.
JobResultsCacheDir::Candidate JobResultsCacheDir::decideWhenBusy(bool writing, bool fallback) {
    const int state = peekState();
    switch (state) {
        case Complete:
            // Held exclusively though complete: a remover is at work (or a client cache is
            // being written). An older directory serves a reader; otherwise wait and retry.
            return fallback ? Candidate::StepBack : Candidate::Retry;
        case Reading:
            // Waited for: a remover that held it has unlinked its State file by the time the
            // lock comes, and the directory is searched for again.
            try {
                myLock(60, writing);
            } catch (const Failure&) {
                if (lastError_ == ENOENT && fallback) return Candidate::SearchAgain;
                throw;
            }
            return decideUnderLock(fallback);
        case Writing:
            lastError_ = kErrBusy;
            return clientCache_ ? Candidate::BusyOpen : Candidate::StepBack;
        case Suspended:
            return Candidate::Suspended;
        case -2:
            // Held exclusively while empty: being created or being removed.
            return fallback ? Candidate::StepBack : Candidate::Unreadable;
        default:
            lastError_ = kErrWrongState;
            fail("getState() failed");
    }
}

// One candidate directory: its State file is opened, locked once and verified; a directory
// whose State does not exist yet or that another process holds exclusively is busy.
JobResultsCacheDir::Candidate JobResultsCacheDir::tryCandidate(bool writing, bool fallback) {
    if (openState(stateFile_, sfReadWrite) != 0) {
        lastError_ = stateFile_.getLastError();
        debug(1, "cannot open state file '%s' (code %d)\n", cacheDir_, lastError_);
        if (lastError_ != ENOENT) fail("open state file error");
        if (fallback) return Candidate::StepBack;
        debug(1, "missing state file '%s' during open - attempting to restore\n", cacheDir_);
        restore();
    }
    const int locked = myLock(0, writing);
    if (locked == 1) return decideUnderLock(fallback);
    unLock();  // closes the slot that could not be locked
    if (locked == 0) return decideWhenBusy(writing, fallback);
    if (lastError_ == ENOENT && fallback) return Candidate::SearchAgain;
    fail("open lock error");
}

char* JobResultsCacheDir::open(unsigned long timeStamp, bool exact) {
    const bool writing = clientCache_ && timeStamp == 0;
    if (!isInitialized()) return nullptr;
    int failureLevel = 1;
    uint32_t stamp = static_cast<uint32_t>(timeStamp);
    try {
        if (cacheFs_ == nullptr) fail("no cache fs");
        if ((!clientCache_ && cacheDir_ != nullptr) || stateFile_.isOpen()) {
            lastError_ = kErrNotOpened;
            fail("object already opened");
        }
        busyOpen_ = false;
        // Another directory may be tried when this one is busy: not for a client cache, whose
        // directory is fixed, nor for an exact time stamp.
        const bool fallback = !clientCache_ && !exact;
        int retries = 0;
        bool steppedBack = false;
        for (;;) {
            if (!clientCache_) {
                // Stepping back below the oldest time stamp ends the search: a search for 0
                // would mean "no limit" and start again from the newest.
                if (!(steppedBack && stamp == 0) && !exact) stamp = static_cast<uint32_t>(backSearch(stamp, false));
                composeCacheDir(stamp);
            } else if (cacheDir_ == nullptr) {
                debug(1, "no cacheDir for client cache open\n");
                return nullptr;
            }
            if (!clientCache_ && stamp == 0) {
                lastError_ = kErrNoPreviousBackup;
                if (appType_ == kAppTypeOptionalIndex) failureLevel = 4;
                fail("previous backup not found");
            }
            if (fsAccessExists(cacheDir_) != 0) {
                if (errno != ENOENT) {
                    lastError_ = errno;
                    fail("stat cacheDir failed");
                }
                if (clientCache_) {
                    debug(1, "client cache %s does not exist\n", cacheDir_);
                    if (appType_ != kAppTypeOptionalIndex) lastError_ = kErrNoPreviousBackup;
                    return nullptr;
                }
                if (fallback) {
                    // Removed since the search found it: search again.
                    if (++retries > 15) fail("too many retries in open");
                    continue;
                }
                lastError_ = ENOENT;
                debug(1, "open(): %s does not exist\n", cacheDir_);
                restore();
            }
            {
                CXLockedMarkerFile marker(cacheDir_, 0);
                if (marker.isLocked() == 1) {
                    debug(1, "presence of marker file in '%s' indicates an interrupted restore\n", cacheDir_);
                    debug(1, "partially restored cache dir '%s' - attempting to restore again\n", cacheDir_);
                    lastError_ = 0;
                    restore();
                }
            }
            const Candidate outcome = tryCandidate(writing, fallback);
            if (outcome == Candidate::Held) break;
            if (outcome == Candidate::BusyOpen) {
                unLock();
                debug(1, "attempting to open busy client cache %s for %s\n", cacheDir_,
                      forceReadLocks_ ? "reading" : "writing");
                busyOpen_ = true;
                break;
            }
            if (cacheDir_ != nullptr) unLock();
            stateFile_.close();
            switch (outcome) {
                case Candidate::Suspended:
                    if (clientCache_) {
                        debug(1, "attempting to open suspended client cache %s\n", cacheDir_);
                        lastError_ = kErrBusy;
                        return nullptr;
                    }
                    [[fallthrough]];
                case Candidate::StepBack:
                    if (exact) {
                        // The directory asked for is not to be had; an older one would not do.
                        if (lastError_ == ENOENT) {
                            debug(1, "open(): directory %u was discarded: its writer ended without closing it\n",
                                  stamp);
                            fail("directory discarded");
                        }
                        lastError_ = kErrBusy;
                        debug(1, "open(): directory %u is busy: another process is writing, creating or removing "
                                 "it; try again when it has closed it\n", stamp);
                        fail("directory busy");
                    }
                    --stamp;
                    steppedBack = true;
                    continue;
                case Candidate::Retry:
                    if (++retries > 15) fail("too many retries in open");
                    YUSLEEP(1000);
                    continue;
                case Candidate::SearchAgain:
                    if (++retries > 15) fail("too many retries in open");
                    continue;
                default:  // Unreadable
                    debug(1, "cannot get state in state file '%s'\n", cacheDir_);
                    lastError_ = 0;
                    debug(1, "missing state file '%s' during open - attempting to restore\n", cacheDir_);
                    restore();
            }
        }
        if (!busyOpen_) {
            setState(writing ? Writing : Reading);
            stampAccessTime(getCurrentTime());
        }
        return cacheDir_;
    } catch (const Failure& failure) {
        if (cacheDir_ != nullptr && alreadyLocked()) unLock();
        stateFile_.close();
        if (clientCache_) {
            ev() << clientEventValue();
            ev().MajorEvent(0xE00004F, getJobId(), 0);
        } else if (getJobId() != 0) {
            debug(failureLevel, "Cannot open %sindex cache directory for [%s] at time [%s].",
                  appType_ == kAppTypeOptionalIndex ? "opt " : "", appToString(talCell_, appNumber_),
                  dateToString(timeStamp));
        }
        debug(failureLevel, "open(): %s: errno=%d (talCell/app %u/%u, timestamp %u)\n", failure.text, lastError_,
              talCell_, appNumber_, stamp);
        return nullptr;
    }
}

// Never through a symbolic link planted at the name, and only as a regular file.
bool JobResultsCacheDir::markResumable() {
    const std::string marker = joinPath(cacheDir_, "canStillResume");
    CXFile file;
    if (file.open(marker.c_str(), sfOpenOrCreate, 0, 0, sfRegularFileOnly) == 0) return true;
    const int error = file.getLastError();
    debug(1, "cannot create '%s', errno %d\n", marker.c_str(), error);
    // Whatever stands at the name (a link is not opened) is what resume looks for.
    if (fsExists(marker.c_str())) return true;
    lastError_ = error;
    return false;
}

int JobResultsCacheDir::close(bool canStillResume) {
    if (!isInitialized()) return -1;
    try {
        if (cacheDir_ == nullptr || !stateFile_.isOpen()) {
            lastError_ = kErrNotOpened;
            debug(1, "close(): INFO: index not opened: errno=%d\n", lastError_);
            if (cacheDir_ != nullptr && alreadyLocked()) unLock();
            stateFile_.close();
            return -1;
        }
        const int state = getState(true);
        // The marker is made while the lock is still held: a resume granted the lock next must
        // find a completed index it may still resume, not one without its marker.
        const bool marked = !canStillResume || (state != Complete && state != Reading && state != Writing) || markResumable();
        switch (state) {
            case Suspended:
                lastError_ = kErrWrongState;
                fail("already suspended");
            case Reading:
                setState(Complete);
                break;
            case Writing:
                if (!busyOpen_) {
                    // Completed without its marker, the index could no longer be resumed as the
                    // job asked: it stays suspended, which the job's resume takes up.
                    setState(marked ? Complete : Suspended);
                    unLock();
                }
                stateFile_.close();
                compress();
                break;
            case Complete:
                break;
            default:
                lastError_ = kErrWrongState;
                fail("getState() failed");
        }
        if (!marked) fail("cannot create the resume marker");
        if (!busyOpen_ && alreadyLocked()) unLock();
        stateFile_.close();
        busyOpen_ = false;
        if (!clientCache_) dropCacheDir();
        return 0;
    } catch (const Failure& failure) {
        if (clientCache_) {
            ev() << clientEventValue();
            ev().MajorEvent(0xE00003F, getJobId(), 0);
        } else {
            ev() << appToString(talCell_, appNumber_);
            ev().MajorEvent(0xE00003E, getJobId(), 0);
        }
        debug(1, "close(): %s: errno=%d\n", failure.text, lastError_);
        if (alreadyLocked()) unLock();
        stateFile_.close();
        busyOpen_ = false;
        return -1;
    }
}
