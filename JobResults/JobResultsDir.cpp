#include "JobResults/JobResultsDir.h"

#include <cerrno>
#include <cinttypes>
#include <new>

#include "Indexing/idxport/CXFile.h"
#include "Indexing/idxport/FsPrimitives.h"
#include "Indexing/idxport/PathSep.h"
#include "Indexing/indexcachedir/JobResultsCacheDir.h"

namespace {
constexpr KRAppType kJobResultsAppType = 1001;
constexpr int kJobResultsBackupType = 6;
constexpr unsigned long kOneDay = 86400;
}  // namespace

JobResultsDir::JobResultsDir() { setDebugPrefix("JOBRESULTSDIR"); }

JobResultsDir::~JobResultsDir() {
    if (isOpen_) close();
}

bool JobResultsDir::initialize(unsigned long talCell, int64_t jobId, bool writer, const char* clientName) {
    if (isOpen_) close();
    cacheDirObject_.reset();
    cacheDir_ = nullptr;
    const auto id = static_cast<uint64_t>(jobId);
    cacheDirObject_.reset(new (std::nothrow) JobResultsCacheDir(
        kJobResultsAppType, talCell, static_cast<unsigned long>(id >> 32), jobId,
        static_cast<BackupType>(kJobResultsBackupType), static_cast<unsigned long>(id & 0xFFFFFFFFu), TCacheIndex, false));
    if (!cacheDirObject_) {
        debug(1, "cannot allocate IndexCacheDir");
        return true;
    }
    cacheDirObject_->initialize(clientName);
    cacheDir_ = const_cast<char*>(cacheDirObject_->getCacheDir());
    if (cacheDir_ == nullptr) {
        debug(1, "initialize: no job results directory for client %s: %s\n", clientName != nullptr ? clientName : "",
              cacheDirObject_->jobPendingMessage());
        return true;
    }
    if (!writer) cacheDirObject_->forceReadLocks();
    return false;
}

bool JobResultsDir::open(bool readOnly) {
    if (cacheDir_ == nullptr || !cacheDirObject_) {
        debug(1, "open: not initialized\n");
        return true;
    }
    if (!fsIsDirectory(cacheDir_)) {
        if (errno != ENOENT) {  // cannot be examined: not the same as missing
            debug(1, "open: cannot examine cacheDir %s, errno %d\n", cacheDir_, errno);
            return true;
        }
        if (readOnly) {
            debug(1, "open (read-only): cacheDir %s does not exist\n", cacheDir_);
            return true;
        }
        if (cacheDirObject_->create(0) == nullptr) {
            debug(1, "open: IndexCacheDir::create failed, code %d\n", cacheDirObject_->getErrno());
            return true;
        }
    } else {
        if (cacheDirObject_->open(readOnly ? 1 : 0, false) == nullptr) {
            debug(1, "open: IndexCacheDir::open failed, code %d\n", cacheDirObject_->getErrno());
            return true;
        }
        // Opened busy: another writer holds the directory, and two writers without a lock
        // would overwrite each other's lines; or a writer that is gone left it in Writing.
        if (!readOnly && cacheDirObject_->isBusyOpen()) {
            cacheDirObject_->close(false);
            if (!writerIsGone() || cacheDirObject_->open(0, false) == nullptr || cacheDirObject_->isBusyOpen()) {
                debug(1, "open: cacheDir %s is held by another writer\n", cacheDir_);
                if (cacheDirObject_->isBusyOpen()) cacheDirObject_->close(false);
                return true;
            }
        }
    }
    isOpen_ = true;
    return false;
}

// The exclusive lock tells a directory whose writer is gone from one still written: granted,
// the Writing state left behind is set back to Complete under it (the state is the first byte
// of State), so that the open that follows takes the directory over with a lock of its own.
bool JobResultsDir::writerIsGone() {
    const std::string state = joinPath(cacheDir_, "State");
    CXFile probe;
    char digit = 0;
    if (probe.open(state.c_str(), sfReadWrite, 0, 0, sfRegularFileOnly) != 0 || probe.lock(sfLockExclusive, 0) != 1 ||
        !probe.isStillAt(state.c_str()) || probe.read(&digit, 1) != 1 || digit != '0' + JobResultsCacheDir::Writing)
        return false;
    if (probe.seek(0, sfSeekSet) != 0 || probe.write("0", 1) != 1) {
        debug(1, "open: cannot reset the state of %s, code %d\n", cacheDir_, probe.getLastError());
        return false;
    }
    debug(1, "open: the writer of %s is gone: the directory is taken over\n", cacheDir_);
    return true;
}

bool JobResultsDir::close() {
    if (cacheDir_ == nullptr || !cacheDirObject_) {
        debug(1, "close: not initialized\n");
        return true;
    }
    if (!isOpen_) return false;
    isOpen_ = false;
    return cacheDirObject_->close(false) < 0;
}

bool JobResultsDir::reserve(uint64_t bytes) {
    const char* failure = "not initialized";
    if (cacheDirObject_) {
        const int result = cacheDirObject_->reserve(bytes, 0, 0, 0);
        if (result >= 1) return false;
        failure = result == 0 ? "no space" : "reservation failed";
    }
    debug(1, "reserve: %" PRIu64 " bytes, %s\n", bytes, failure);
    return true;
}

void JobResultsDir::unreserve(uint64_t bytes) {
    if (cacheDirObject_ && bytes != 0) cacheDirObject_->unreserve(bytes);
}

bool JobResultsDir::release(uint64_t bytes) {
    const char* failure = "not initialized";
    if (cacheDirObject_) {
        if (cacheDirObject_->release(bytes, false) >= 0) return false;
        failure = "release failed";
    }
    debug(1, "release: %" PRIu64 " bytes, %s\n", bytes, failure);
    return true;
}

int JobResultsDir::cleanUp() {
    if (cacheDir_ == nullptr || !cacheDirObject_) {
        debug(1, "cleanUp: not initialized\n");
        return -1;
    }
    const unsigned long dayAgo = JobResultsCacheFs::getCurrentTime() - kOneDay;
    return cacheDirObject_->cleanUp(0, true, false, true, 0, 0, dayAgo, 0, 0, 0);
}

void JobResultsDir::setNumDays(unsigned int days) {
    if (cacheDirObject_) cacheDirObject_->setNumDays(days);
}

unsigned int JobResultsDir::getNumDays() { return cacheDirObject_ ? cacheDirObject_->getNumDays() : 0; }

int JobResultsDir::setDiskFree(unsigned int percent) {
    return cacheDirObject_ ? cacheDirObject_->setDiskFree(percent) : -1;
}

unsigned int JobResultsDir::getDiskFree() { return cacheDirObject_ ? cacheDirObject_->getDiskFree() : 0; }

int JobResultsDir::getLastError() {
    if (!cacheDirObject_) {
        debug(1, "getLastError: no cache dir\n");
        return -1;
    }
    return cacheDirObject_->getErrno();
}

const char* JobResultsDir::getClientName() { return cacheDirObject_ ? cacheDirObject_->getClientName() : nullptr; }
