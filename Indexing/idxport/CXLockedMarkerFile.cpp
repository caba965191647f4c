#include "Indexing/idxport/CXLockedMarkerFile.h"

#include <cerrno>
#include <cstring>

#include "Indexing/icommon/SafeFileOps.h"
#include "Indexing/idxport/FsPrimitives.h"
#include "Indexing/idxport/PathSep.h"
#include "Platform/PlatformSleep.h"

const char* CXLockedMarkerFile::RESTORE_IN_PROGRESS = "restoreInProgress";

CXLockedMarkerFile::CXLockedMarkerFile(const char* folder, unsigned timeout) : timeout_(timeout) {
    init(folder != nullptr ? folder : "", RESTORE_IN_PROGRESS);
}

CXLockedMarkerFile::CXLockedMarkerFile(const std::string& folder, unsigned timeout) : timeout_(timeout) {
    init(folder, RESTORE_IN_PROGRESS);
}

CXLockedMarkerFile::CXLockedMarkerFile(const std::string& folder, const std::string& name, unsigned timeout)
    : timeout_(timeout) {
    init(folder, name);
}

void CXLockedMarkerFile::init(const std::string& folder, const std::string& name) {
    setDebugPrefix("CXLockedMarkerFile::CXLockedMarkerFile");
    folder_ = folder;
    if (folder_.empty()) {
        debug(1, "ERROR: folder name is empty!");
        return;
    }
    path_ = joinPath(folder_, name);
}

CXLockedMarkerFile::~CXLockedMarkerFile() {
    int result;
    if (owner_) {
        result = unLockAndRemove();
    } else {
        // Only looked at the marker (or never got its lock): the file belongs to whoever
        // holds it, or to the next isLocked that finds it stale.
        result = unLock();
        file_.close();
    }
    setDebugPrefix("CXLockedMarkerFile::~CXLockedMarkerFile");
    if (result == kErrNotLocked)
        debug(2, "Failed to unlock '%s' because file was not locked.", path_.c_str());
    else if (result != 0)
        debug(1, "Failed to unlock '%s'. Error code returned '%d'", path_.c_str(), result);
}

int CXLockedMarkerFile::openLocked(const char* content) {
    setDebugPrefix("CXLockedMarkerFile::openLocked");
    if (folder_.empty()) {
        debug(1, "Failed to open file because folder name is empty!");
        return kErrNoFolder;
    }
    if (recursiveMkdir(folder_.c_str(), 0700) != 0)
        debug(1, "cannot create dir '%s', errno %d\n", folder_.c_str(), errno);
    if (file_.open(path_.c_str(), sfOpenOrCreate, timeout_, 0666) != 0) return -1;
    const int locked = lock();
    if (locked != 0) return locked;
    if (content == nullptr) return 0;
    const unsigned long size = std::strlen(content) + 1;
    const long written = file_.write(content, size);
    return written == static_cast<long>(size) ? static_cast<int>(written) : -1;
}

int CXLockedMarkerFile::lock() {
    if (!file_.isOpen() || file_.isLocked()) return -1;
    switch (file_.lock(sfLockExclusive, timeout_)) {
        case 1:
            owner_ = true;
            return 0;
        case 0:
            return 1;
        default:
            return -1;
    }
}

int CXLockedMarkerFile::unLock() {
    if (!file_.isOpen() || !file_.isLocked()) return kErrNotLocked;
    return file_.unlock();
}

int CXLockedMarkerFile::unLockAndRemove() {
    setDebugPrefix("CXLockedMarkerFile::unLockAndRemove");
    // While this object holds the lock the name is deleted first: no other process can take
    // the lock of a file that is about to vanish and then hold a marker nobody else can see.
    const bool held = file_.isOpen() && file_.isLocked();
    if (held) removeFile();
    const int result = unLock();
    if (file_.isOpen()) file_.close();
    if (!held) removeFile();
    owner_ = false;
    return result;
}

void CXLockedMarkerFile::removeFile() {
    if (path_.empty() || !fsExists(path_.c_str())) return;
    // Someone else removing it in between is as good as removing it here.
    if (fsUnlink(path_.c_str()) != 0 && errno != kErrNotFound) debug(1, "Could not remove file '%s'", path_.c_str());
}

int CXLockedMarkerFile::isLocked() {
    setDebugPrefix("CXLockedMarkerFile::isLocked");
    if (folder_.empty()) return kErrNoFolder;
    if (file_.isLocked()) return 1;
    if (!file_.isOpen() && file_.open(path_.c_str(), sfWriteOnly, timeout_, 0666) != 0) return 0;

    int result = 0;
    const int probe = file_.lock(sfLockExclusive, 0);
    if (probe == 0) {
        result = 1;  // another process holds it
    } else if (probe == 1) {
        // Free: either left by a process that died, or its owner has opened it and not yet
        // locked it. Only a marker still free after the delay is stale.
        file_.unlock();
        YUSLEEP(kStaleConfirmMs);
        if (file_.lock(sfLockExclusive, 0) == 1) {
            // Deleted while still locked here, so that nobody takes over the old file meanwhile.
            removeFile();
            file_.unlock();
            file_.close();
        }
    }
    if (file_.isOpen()) file_.close();
    return result;
}
