// Files of other kinds in a cache directory (job markers, restart files, snapshot metadata,
// database dumps), the directory of checkpoint copies, the host application and the State
// operations a host application uses.
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>
#include <strings.h>

#include "Indexing/idxport/CXDirectory.h"
#include "Indexing/indexcachedir/JobResultsCacheDir.h"

namespace {
std::atomic<int> hostApplication{eHostAppUnknown};

// Whether the first occurrence of ending in name is its last four characters.
bool firstOccurrenceEnds(const char* name, size_t length, const char* ending) {
    const char* at = strstr(name, ending);
    return at != nullptr && length >= 4 && static_cast<size_t>(at - name) == length - 4;
}

// Appends directory/name for every entry but "." and ".." that wanted accepts, in directory
// order. False, with a line naming op, when the directory is not set or cannot be read.
bool collectEntries(TDebuggable& log, const char* op, const char* directory, std::vector<std::string>& out,
                    const std::function<bool(const char*)>& wanted) {
    if (directory == nullptr) {
        log.debug(1, "%s : cache directory is not set", op);
        return false;
    }
    CXDirectory listing;
    if (listing.open(directory) != 0) {
        log.debug(1, "%s : cannot open cache directory", op);
        return false;
    }
    for (const char* name = listing.read(); name != nullptr; name = listing.read()) {
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
        if (wanted(name)) out.push_back(joinPath(directory, name));
    }
    if (listing.getLastError() != 0) {
        log.debug(1, "%s : directory read error in '%s', code %d", op, directory, listing.getLastError());
        return false;
    }
    return true;
}
}  // namespace

bool skipInArchiveIndex(const char* name, bool keepJobMarkers) {
    if (name == nullptr) return false;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return true;
    if (!keepJobMarkers && (strcasecmp(name, "canStillResume") == 0 || strcasecmp(name, "JobId") == 0)) return true;
    // A job id file's temporary (its writer died before the rename) is no part of any index.
    if (strncmp(name, "JobId.tmp.", 10) == 0) return true;
    for (const char* prefix : {"inodeStore", "nasParents", "nasChildren", "current_chunk", "TL_RST.cfg"})
        if (strncasecmp(name, prefix, strlen(prefix)) == 0) return true;
    for (const char* part : {".trn", ".txt.collects", ".start."})
        if (strstr(name, part) != nullptr) return true;
    return false;
}

bool JobResultsCacheDir::IsSnapMetaFile(const char* name, int64_t jobId) {
    if (name == nullptr) {
        TDebuggable log;
        log.setDebugPrefix("JRCACHEDIR");
        log.debug(1, "IsSnapMetaFile : file name is NULL");
        return false;
    }
    const size_t length = strlen(name);
    bool qualifies = false;
    for (const char* ending : {".xml", ".map", ".idx", ".jpt", ".wrt", ".bcd"})
        qualifies = qualifies || firstOccurrenceEnds(name, length, ending);
    if (!qualifies && firstOccurrenceEnds(name, length, ".krf"))
        qualifies = strstr(name, "CompWriterList") != nullptr || strstr(name, "SidProfileMap") != nullptr ||
                    strstr(name, "CISIndex") != nullptr;
    if (!qualifies) return false;
    if (jobId < 1) return true;
    // The job id must be the whole number the name begins with: job 7 owns "7_a.map", and
    // "77_a.map" is job 77's.
    char prefix[24];
    const int prefixLength = snprintf(prefix, sizeof prefix, "%" PRIu64, static_cast<uint64_t>(jobId));
    return strncmp(name, prefix, static_cast<size_t>(prefixLength)) == 0 &&
           !(name[prefixLength] >= '0' && name[prefixLength] <= '9');
}

bool JobResultsCacheDir::GetSnapMetaFiles(std::vector<std::string>& out, int64_t jobId) {
    return collectEntries(*this, "GetSnapMetaFiles", getCacheDir(), out,
                          [jobId](const char* name) { return IsSnapMetaFile(name, jobId); });
}

bool JobResultsCacheDir::GetSQLDumpFiles(std::vector<std::string>& out, std::string database, std::string instance) {
    // The instance is a SQL Server name, "HOST\INSTANCE": its part after the last backslash
    // names the dump, whatever the path separator of this system.
    const size_t backslash = instance.rfind('\\');
    const std::string wanted = "BACKUP__" + (backslash == std::string::npos ? instance : instance.substr(backslash + 1)) +
                               "_" + database + ".dmp";
    return collectEntries(*this, "GetSQLDumpFiles", getCacheDir(), out,
                          [&wanted](const char* name) { return strcasecmp(name, wanted.c_str()) == 0; });
}

std::string JobResultsCacheDir::defaultCopyDir(bool baseOnly) {
    if (!isInitialized()) return std::string();
    if (cacheFs_ == nullptr) {
        debug(1, "no cache fs");
        return std::string();
    }
    if (appNumber_ == 0 && !baseOnly) {
        debug(1, "no app id");
        return std::string();
    }
    const std::string base = joinPath(cacheFs_, "checkpoints");
    return baseOnly ? base : joinPath(base, std::to_string(appNumber_));
}

ReOpenIndexResult JobResultsCacheDir::PutIndexCacheIntoWritableStateMA(unsigned long& /*unused*/) {
    debug(1, "ReOpenIndexCache: Not implemented");
    return eReOpenIndexNotDone;
}

ReOpenIndexResult JobResultsCacheDir::PutIndexCacheIntoClosedStateMA() {
    if (!isInitialized() || cacheDir_ == nullptr) return eReOpenIndexNotDone;
    // Only a reader's state, or the state of this object's own write, is closed here: a
    // Writing state under any other lock is another job's (or a dead one's) and stays.
    const bool heldBefore = alreadyLocked();
    const bool ownWrite = heldBefore && currentSlot()->exclusive;
    bool lockedHere = false;
    ReOpenIndexResult result = eReOpenIndexNotDone;
    try {
        if (!heldBefore) {
            // The lock slot opens an existing State file only, and checks after the grant that
            // it is still the one at the path: a removed directory gets no new State.
            writeLock(60);
            lockedHere = true;
        }
        const std::string state = statePath();
        if (!stateFile_.isOpen() && openState(stateFile_, sfReadWrite) != 0) {
            lastError_ = stateFile_.getLastError();
            fail("State file open error");
        }
        if (!stateFile_.isStillAt(state.c_str())) {
            lastError_ = stateFile_.getLastError();
            fail("State file replaced");
        }
        const int current = getState(false);
        if (current == Reading || (current == Writing && ownWrite)) setState(Complete);
        if (getState(false) == Complete) result = eReOpenIndexOk;
    } catch (const Failure& failure) {
        debug(1, "PutIndexCacheIntoClosedStateMA(): %s: errno=%d\n", failure.text, lastError_);
    }
    if (lockedHere && alreadyLocked()) unLock();
    stateFile_.close();
    return result;
}

int JobResultsCacheDir::TranLog_copyFile(const char* /*from*/, const char* /*to*/, bool /*unused*/) {
    TDebuggable log;
    log.setDebugPrefix("TranLog_copyFile2");
    log.debug(1, "ERROR: This function is not available in Vornica because of strange relationship with TCtreeTable "
                 "class!!!");
    return -1;
}

void JobResultsCacheDir::setHostApplication(EIndexCacheDirHostApp app) { hostApplication = app; }

EIndexCacheDirHostApp JobResultsCacheDir::getHostApplication() {
    return static_cast<EIndexCacheDirHostApp>(hostApplication.load());
}
