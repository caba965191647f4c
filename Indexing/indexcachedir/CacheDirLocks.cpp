// The four lock slots: each a CXFile on a directory's State file and that directory's name.
//
// A slot opens an existing State file only: a process that waited for the lock of a directory
// being removed must not bring its State file back. After every grant the slot checks that the
// locked file is still the State file at the path; when a remover unlinked it meanwhile, the
// lock guards nothing, so it is dropped and the file opened again (which then fails when the
// directory is gone).
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Indexing/indexcachedir/JobResultsCacheDir.h"

namespace {
// Replacements of the State file while one lock is waited for, before giving up.
constexpr int kVerifyAttempts = 5;
}  // namespace

int JobResultsCacheDir::lockFailure(unsigned long timeout, const char* text) {
    if (timeout == 0) return -1;
    fail(text);
}

int JobResultsCacheDir::myLock(unsigned long timeout, bool exclusive) {
    return slotLock(timeout, exclusive && !forceReadLocks_);
}

int JobResultsCacheDir::slotLock(unsigned long timeout, bool exclusive, unsigned long tryMs) {
    if (cacheDir_ == nullptr) {
        debug(1, "myLock: no cache dir\n");
        return -1;
    }
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
    const std::string state = statePath();
    for (int attempt = 1;; ++attempt) {
        // An exclusive lock needs the file open for writing.
        if (!chosen.file.isOpen() && openState(chosen.file, sfReadWrite) != 0) {
            lastError_ = chosen.file.getLastError();
            debug(1, "cannot open %s, code %d\n", state.c_str(), lastError_);
            return lockFailure(timeout, "open lock error");
        }
        const sfLockMode_t mode = exclusive ? sfLockExclusive : sfLockShared;
        const int locked = timeout == 0 ? chosen.file.lockForMs(mode, tryMs) : chosen.file.lock(mode, timeout);
        if (locked != 1) {
            if (timeout == 0) return locked;
            debug(1, "%s while trying to lock %s\n", locked == 0 ? "Timeout" : "Error", cacheDir_);
            if (locked == 0) fail("locking timeout");
            lastError_ = chosen.file.getLastError();
            fail("locking error");
        }
        if (chosen.file.isStillAt(state.c_str())) break;
        debug(4, "lock of %s was granted on a removed State file, trying again\n", cacheDir_);
        chosen.file.unlock();
        chosen.file.close();
        if (attempt == kVerifyAttempts) {
            lastError_ = chosen.file.getLastError();
            return lockFailure(timeout, "open lock error");
        }
    }
    chosen.exclusive = exclusive;
    currentLockSlot_ = slot;
    return 1;
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

JobResultsCacheDir::LockSlot* JobResultsCacheDir::currentSlot() {
    if (cacheDir_ == nullptr) return nullptr;
    for (LockSlot& slot : lockSlots_)
        if (slot.directory != nullptr && strcmp(slot.directory, cacheDir_) == 0) return &slot;
    return nullptr;
}

void JobResultsCacheDir::holdForRemoval(unsigned long timeout) {
    LockSlot* slot = currentSlot();
    // A reader's shared lock never licenses a removal: it becomes exclusive only when no other
    // process holds the directory, and stays shared otherwise.
    const int held = slot == nullptr || !slot->file.isLocked() ? removalLock(timeout) : upgradeLock();
    if (held == 1) return;
    if (held < 0) fail("open lock error");
    lastError_ = kErrBusy;
    debug(1, "directory %s is held by another process, not removed\n", cacheDir_);
    fail("directory in use");
}

int JobResultsCacheDir::upgradeLock() {
    LockSlot* slot = currentSlot();
    if (slot == nullptr || !slot->file.isLocked()) return -1;
    const int converted = slot->exclusive ? 1 : slot->file.convertLock(sfLockExclusive);
    if (converted == 1) {
        slot->exclusive = true;
        currentLockSlot_ = static_cast<int>(slot - lockSlots_);
    } else if (converted < 0) {
        lastError_ = slot->file.getLastError();
    }
    return converted;
}

int JobResultsCacheDir::unLock() {
    if (cacheDir_ == nullptr) {
        debug(1, "unLock: no cache dir\n");
        return -1;
    }
    return unLockDirectory(cacheDir_);
}

void JobResultsCacheDir::letGoAfterFailure(std::initializer_list<std::string> directories) {
    const int error = lastError_;
    for (const std::string& directory : directories)
        if (!directory.empty()) unLockDirectory(directory);
    stateFile_.close();
    if (!clientCache_) dropCacheDir();
    lastError_ = error;
}

int JobResultsCacheDir::unLockDirectory(const std::string& directory) {
    for (LockSlot& slot : lockSlots_) {
        if (slot.directory == nullptr || directory != slot.directory) continue;
        if (!slot.file.isLocked()) {
            slot.file.close();
            continue;
        }
        int result = slot.file.unlock();
        slot.file.close();
        slot.exclusive = false;
        return result;
    }
    return -1;
}

bool JobResultsCacheDir::alreadyLocked() {
    if (cacheDir_ == nullptr) {
        debug(1, "alreadyLocked: no cache dir\n");
        return false;
    }
    LockSlot* slot = currentSlot();
    return slot != nullptr && slot->file.isLocked();
}
