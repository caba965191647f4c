// The four lock slots: each a CXFile on a directory's State file and that directory's name.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Indexing/indexcachedir/JobResultsCacheDir.h"

int JobResultsCacheDir::lockFailure(unsigned long timeout, const char* text) {
    if (timeout == 0) return -1;
    fail(text);
}

int JobResultsCacheDir::myLock(unsigned long timeout, bool exclusive) {
    if (cacheDir_ == nullptr) {
        debug(1, "myLock: no cache dir\n");
        return -1;
    }
    if (forceReadLocks_) exclusive = false;
    int named = -1, freeSlot = -1;
    for (int i = 0; i < kLockSlots; ++i) {
        if (named < 0 && lockSlots_[i].directory != nullptr && strcmp(lockSlots_[i].directory, cacheDir_) == 0)
            named = i;
        if (!lockSlots_[i].file.isOpen()) freeSlot = i;
    }
    int slot = named;
    if (slot >= 0 && lockSlots_[slot].file.isLocked()) {
        if (timeout == 0) return -1;
        debug(1, "attempting to lock %s for %s when already locked\n", cacheDir_, exclusive ? "write" : "read");
        fail("already locked");
    }
    if (slot < 0) {
        if (freeSlot < 0) {
            if (timeout == 0) debug(1, "no more locks available\n");
            return lockFailure(timeout, "no more locks available");
        }
        slot = freeSlot;
        LockSlot& fresh = lockSlots_[slot];
        free(fresh.directory);
        fresh.directory = nullptr;
        fresh.file.close();
        fresh.directory = strdup(cacheDir_);
        if (fresh.directory == nullptr) {
            lastError_ = errno;
            debug(1, "strdup failed, errno %d\n", lastError_);
            return lockFailure(timeout, "strdup failed");
        }
    }
    LockSlot& chosen = lockSlots_[slot];
    // An exclusive lock needs the file open for writing.
    if (!chosen.file.isOpen() && chosen.file.open(statePath().c_str(), sfOpenOrCreate, 0, 0755) != 0) {
        lastError_ = chosen.file.getLastError();
        debug(1, "cannot open %s, code %d\n", statePath().c_str(), lastError_);
        return lockFailure(timeout, "open lock error");
    }
    int locked = chosen.file.lock(exclusive ? sfLockExclusive : sfLockShared, timeout);
    if (locked == 1) currentLockSlot_ = slot;
    if (timeout == 0 || locked == 1) return locked;
    debug(1, "%s while trying to lock %s\n", locked == 0 ? "Timeout" : "Error", cacheDir_);
    if (locked == 0) fail("locking timeout");
    lastError_ = chosen.file.getLastError();
    fail("locking error");
}

void JobResultsCacheDir::switchLock() {
    if (currentLockSlot_ < 0) fail("switchLock finds no lock");
    LockSlot& slot = lockSlots_[currentLockSlot_];
    if (slot.directory == nullptr) fail("switchLock finds no lock dir");
    char* renamed = strdup(cacheDir_ != nullptr ? cacheDir_ : "");
    if (renamed == nullptr) fail("switchLock strdup failure");
    free(slot.directory);
    slot.directory = renamed;
}

int JobResultsCacheDir::unLock() {
    if (cacheDir_ == nullptr) {
        debug(1, "unLock: no cache dir\n");
        return -1;
    }
    for (LockSlot& slot : lockSlots_) {
        if (slot.directory == nullptr || strcmp(slot.directory, cacheDir_) != 0) continue;
        if (!slot.file.isLocked()) {
            slot.file.close();
            continue;
        }
        int result = slot.file.unlock();
        slot.file.close();
        return result;
    }
    return -1;
}

bool JobResultsCacheDir::alreadyLocked() {
    if (cacheDir_ == nullptr) {
        debug(1, "alreadyLocked: no cache dir\n");
        return false;
    }
    for (const LockSlot& slot : lockSlots_)
        if (slot.directory != nullptr && strcmp(slot.directory, cacheDir_) == 0) return slot.file.isLocked();
    return false;
}
