// Construction, the process-wide settings, the directory scheme and directory creation.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "Indexing/idxport/FsPrimitives.h"
#include "Indexing/indexcachedir/JobResultsCacheDir.h"

namespace {
// Written on the first construction in the process.
bool copyUponUpdateDefault = true;
uint64_t copyThreshold = 2048;
bool settingsUnread = true;
}  // namespace

bool JobResultsCacheDir::defaultCopyUponUpdate() { return copyUponUpdateDefault; }
uint64_t JobResultsCacheDir::copyThresholdMB() { return copyThreshold; }

JobResultsCacheDir::JobResultsCacheDir(KRAppType appType, unsigned long talCell, unsigned long app, int64_t jobId,
                                       BackupType backupType, unsigned long timeStamp, TCacheTypeEnum cacheType,
                                       bool unused)
    : JobResultsCacheFs(appType, cacheType, unused) {
    _preInit(appType, talCell, app, jobId, backupType, timeStamp);
}

JobResultsCacheDir::~JobResultsCacheDir() {
    for (LockSlot& slot : lockSlots_) {
        free(slot.directory);
        slot.directory = nullptr;
    }
    delete[] cacheDir_;
    cacheDir_ = nullptr;
    delete otherStuff_;
}

void JobResultsCacheDir::readSpaceSaverSetting(TDebuggable& log) {
    const char* value = log.getRegistryString("sSPACESAVER");
    if (value == nullptr) return;
    if (strcasecmp(value, "y") == 0 || strcasecmp(value, "yes") == 0) {
        copyUponUpdateDefault = false;
        return;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long long megabytes = strtoull(value, &end, 10);
    if (*value >= '0' && *value <= '9' && *end == '\0' && errno == 0) {
        copyUponUpdateDefault = true;
        copyThreshold = megabytes;
    }
}

void JobResultsCacheDir::_preInit(KRAppType appType, unsigned long talCell, unsigned long app, int64_t jobId,
                                  BackupType backupType, unsigned long timeStamp) {
    setDebugPrefix("JRCACHEDIR");
    lastError_ = 0;
    talCell_ = static_cast<uint32_t>(talCell);
    appNumber_ = static_cast<uint32_t>(app);
    timeStamp_ = 0;
    requestedTimeStamp_ = static_cast<uint32_t>(timeStamp);
    jobId_ = jobId;
    setJobId(jobId);
    backupType_ = backupType;
    otherStuff_ = new (std::nothrow) OtherStuff;
    if (otherStuff_ == nullptr) debug(1, "cannot allocate otherStuff structure - out of memory");
    if (settingsUnread) {
        settingsUnread = false;
        readSpaceSaverSetting(*this);
    }
    copyUponUpdate_ = copyUponUpdateDefault || backupType == static_cast<BackupType>(8);
    setOtherCachePtr(nullptr);
    try {
        if (appType == 1 || appType == kAppTypeOptionalIndex)
            backupRestoreEnabled_ = true;
        else if (appType == 7 || appType == kAppTypeJobResults)
            backupRestoreEnabled_ = false;
        else {
            unusable_ = true;
            fail("invalid app type");
        }
    } catch (const Failure& failure) {
        debug(1, "ERROR: _preInit() exception: %s: errno=%d\n", failure.text, lastError_);
    }
}

void JobResultsCacheDir::initialize(const char* root, bool skipLocalPath) {
    if (initialized_ || unusable_) return;
    JobResultsCacheFs::initialize(root, skipLocalPath);
    _postInit();
}

void JobResultsCacheDir::initializeLike(const JobResultsCacheFs& resolved) {
    if (initialized_ || unusable_) return;
    adoptInitialization(resolved);
    if (initialized_) _postInit();
}

void JobResultsCacheDir::_postInit() {
    try {
        if (cacheFs_ == nullptr) fail("no cache fs");
        if (requestedTimeStamp_ == 0 && appType_ != kAppTypeJobResults) return;
        composeCacheDir(requestedTimeStamp_);
    } catch (const Failure& failure) {
        debug(1, "ERROR: _postInit() exception: %s: errno=%d\n", failure.text, lastError_);
    }
}

void JobResultsCacheDir::composeCacheDir(uint32_t timeStamp) {
    timeStamp_ = timeStamp;
    const size_t size = strlen(cacheFs_) + 3 * 11 + 20;
    char* path = new (std::nothrow) char[size];
    if (path == nullptr) {
        lastError_ = kErrOutOfMemory;
        fail("out of memory");
    }
    snprintf(path, size, "%s%c%lu%c%lu%c%lu", cacheFs_, kPathSep, static_cast<unsigned long>(talCell_), kPathSep,
             static_cast<unsigned long>(appNumber_), kPathSep, static_cast<unsigned long>(timeStamp));
    delete[] cacheDir_;
    cacheDir_ = path;
}

std::string JobResultsCacheDir::statePath() const { return joinPath(cacheDir_ != nullptr ? cacheDir_ : "", "State"); }

const char* JobResultsCacheDir::getCacheDir() { return isInitialized() ? cacheDir_ : nullptr; }

std::string JobResultsCacheDir::getCacheDirComp(const std::string& /*component: not appended*/) {
    return cacheDir_ != nullptr ? std::string(cacheDir_) : std::string();
}

unsigned long JobResultsCacheDir::getTimeStamp() {
    if (!isInitialized() || cacheDir_ == nullptr) return 0;
    return timeStamp_;
}

bool JobResultsCacheDir::areComponentsInCache(const char* /*components*/) {
    debug(0x200000, "areComponentsInCache: all components are present in the cache");
    return true;
}

void JobResultsCacheDir::raiseMajorEvent(int messageId, const char* noPath) {
    ev() << (cacheDir_ != nullptr ? cacheDir_ : noPath);
    ev().MajorEvent(messageId, getJobId(), 0);
}

void JobResultsCacheDir::mkCacheDir(bool mustBeNew) {
    try {
        if (cacheFs_ == nullptr || cacheDir_ == nullptr) fail("no cache fs");
        // A remover may take the directory between its making and its lock: then it is made
        // again (an existing directory may be gone on again to) or, when it must be new, refused.
        for (int attempt = 1;; ++attempt) {
            std::string level = joinPath(cacheFs_, std::to_string(talCell_));
            if (fsMkdir(level.c_str(), 0755) != 0 && errno != EEXIST) {
                lastError_ = errno;
                debug(1, "cannot mkdir %s (errno %d)\n", level.c_str(), lastError_);
                fail("make client directory failed");
            }
            level = joinPath(level, std::to_string(appNumber_));
            if (fsMkdir(level.c_str(), 0755) != 0 && errno != EEXIST) {
                lastError_ = errno;
                debug(1, "cannot mkdir %s (errno %d)\n", level.c_str(), lastError_);
                fail("make subclient directory failed");
            }
            debug(1, "job %" PRIu64 " creating '%s'\n", static_cast<uint64_t>(jobId_), cacheDir_);
            const bool made = fsMkdir(cacheDir_, 0755) == 0;
            if (!made) {
                lastError_ = errno;
                if (lastError_ != EEXIST) fail("make timeStamp directory failed");
                debug(1, "mkdir %s failed because directory already exists\n", cacheDir_);
                // A new directory of a server cache must be this object's own: another job that
                // chose the same time stamp holds it (or held it) and is never joined.
                if (mustBeNew) fail("make timeStamp directory failed");
            }
            // The State file is made here and nowhere else; it is locked before anything is
            // written to it, and a reader that finds it still empty passes it by.
                    if (openState(stateFile_, sfCreateNew) != 0 &&
                (mustBeNew || stateFile_.getLastError() != EEXIST || openState(stateFile_, sfReadWrite) != 0)) {
                lastError_ = stateFile_.getLastError();
                if (!mustBeNew && lastError_ == ENOENT && attempt < 3) continue;
                // A new directory without its State file would be taken for one still being
                // made and stop later updates: it goes again (rmdir takes only an empty one).
                if (mustBeNew && made && fsRmdir(cacheDir_) != 0)
                    debug(1, "cannot remove %s (errno %d)\n", cacheDir_, errno);
                fail("failed to create State file");
            }
            try {
                writeLock(60);
                return;
            } catch (const Failure&) {
                stateFile_.close();
                if (mustBeNew || lastError_ != ENOENT || attempt >= 3) throw;
            }
        }
    } catch (const Failure& failure) {
        stateFile_.close();
        raiseMajorEvent(0xE000034, "NONE");
        debug(1, "mkCacheDir(): %s: errno=%d\n", failure.text, lastError_);
        fail("mkCacheDir exception");
    }
}
