#include "JobResults/PagingResultsDir.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cinttypes>
#include <cstring>
#include <string>

#include "Indexing/idxport/CXDirectory.h"
#include "Indexing/idxport/FsEntryStatus.h"
#include "Indexing/idxport/FsPrimitives.h"
#include "Platform/EvDebug.h"
#include "Platform/KRPI_Base.h"
#include "Platform/KRPI_Focus.h"
#include "Platform/KRPI_MediaAgent.h"
#include "Platform/KRPI_TalClient.h"
#include "Platform/MDLock.h"

namespace {

std::atomic<int64_t (*)()> clockSeam{nullptr};

// The directory for clientName, or null: on a client installation its job results directory,
// on a media server its index cache directory; the product's temporary directory without a
// client name or on the central server.
std::string tempDirFor(const char* clientName) {
    const char* focus = KRPI_Focus::getFocus();
    KRPI_Base base;
    base.setFocus(focus);
    if (clientName != nullptr && *clientName != '\0' && !base.isPlatformTypeTS()) {
        const char* dir = nullptr;
        if (base.isPlatformTypeTC()) {
            KRPI_TalClient client;
            client.setFocus(focus);
            dir = client.getJobResultsDirectory(clientName);
            return dir != nullptr ? dir : "";
        }
        if (base.isPlatformTypeMA()) {
            KRPI_MediaAgent mediaAgent;
            mediaAgent.setFocus(focus);
            dir = mediaAgent.getIndexCacheDirectory(clientName);
            return dir != nullptr ? dir : "";
        }
        return "";
    }
    const char* dir = base.getHalcyTempDirectory();
    return dir != nullptr ? dir : "";
}

}  // namespace

const char* getHalcyTempDir(const char* clientName) {
    // One buffer per thread: a caller copies the text before its thread asks again.
    thread_local char buffer[1025];
    const std::string dir = tempDirFor(clientName);
    if (dir.size() >= sizeof buffer) {
        EvDebug().debug(1, "getHalcyTempDir: directory too long (%zu bytes): %s\n", dir.size(), dir.c_str());
        buffer[0] = '\0';
    } else {
        memcpy(buffer, dir.c_str(), dir.size() + 1);
    }
    if (buffer[0] == '\0') EvDebug().debug(1, "getHalcyTempDir: Returns NULL. ");
    return buffer;
}

int64_t PagingResultsDir::now() {
    int64_t (*clock)() = clockSeam.load();
    return clock != nullptr ? clock() : fsNowSeconds();
}

void PagingResultsDir::setClockForTests(int64_t (*clock)()) { clockSeam.store(clock); }

PagingResultsDir::PagingResultsDir(const char* clientName) {
    setDebugPrefix("PAGINGRESULTSDIR");
    removeOldPagingFiles(clientName);
}

PagingResultsDir::~PagingResultsDir() {
    if (isOpen_) close();
    free(path_);
}

void PagingResultsDir::removeOldPagingFiles(const char* clientName) {
    const std::string dir = getHalcyTempDir(clientName);
    if (dir.empty()) return;
    MDLock lock(kCleanupLock);
    if (!lock.set(kLockWaitMs)) {
        // Another process has been cleaning for a minute: the next directory object tries again.
        debug(1, "%s not granted within %lu ms; old paging files stay for now\n", kCleanupLock, kLockWaitMs);
        return;
    }
    CXDirectory listing;
    if (listing.open(dir.c_str()) != 0) {
        debug(1, "cannot open dir '%s', code %d", dir.c_str(), listing.getLastError());
        return;
    }
    const int64_t current = now();
    const size_t prefixLength = strlen(kPagingPrefix);
    while (const char* name = listing.read()) {
        if (strncmp(name, kPagingPrefix, prefixLength) != 0) continue;
        const std::string path = joinPath(dir, name);
        FsEntryStatus status;
        if (fsEntryStatus(path.c_str(), status) != 0) {
            debug(1, "cannot stat '%s', code %d", path.c_str(), errno);
            continue;
        }
        if (status.kind == FsEntryStatus::Kind::Directory) continue;
        if (current - status.modifiedSeconds() <= kMaxAgeSeconds) continue;
        if (fsUnlink(path.c_str()) != 0 && errno != ENOENT)
            debug(1, "cannot unlink temp paging file %s, code %d", path.c_str(), errno);
    }
}

void PagingResultsDir::setPath(const char* path) {
    free(path_);
    path_ = path != nullptr ? strdup(path) : nullptr;
}

bool PagingResultsDir::open() {
    if (path_ == nullptr) {
        debug(1, "open: not initialized\n");
        return true;
    }
    if (!fsIsDirectory(path_)) {
        debug(1, "open (read-only): cacheDir %s does not exist\n", path_);
        return true;
    }
    isOpen_ = true;
    return false;
}

bool PagingResultsDir::close() {
    if (path_ == nullptr) {
        debug(1, "close: not initialized\n");
        return true;
    }
    isOpen_ = false;
    return false;
}
