#include "Indexing/cacheFs/CacheDirArray.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "Indexing/indexcachedir/JobResultsCacheDir.h"

CacheDirArray::CacheDirArray(int capacity) {
    // The entries live in one block that grows by realloc: a large block grows in place (the
    // kernel remaps it) instead of being copied while the old and the new block both take memory.
    static_assert(std::is_trivially_copyable_v<Entry>);
    setDebugPrefix("CDIRARRAY");
    items_ = static_cast<Entry*>(malloc(sizeof(Entry) * static_cast<size_t>(capacity > 0 ? capacity : kGrowth)));
    if (items_ == nullptr) {
        debug(1, "constructor: %s: errno=%d\n", "out of memory", errno);
        return;
    }
    capacity_ = capacity > 0 ? capacity : kGrowth;
}

CacheDirArray::~CacheDirArray() {
    for (int i = 0; i < used_; ++i) delete items_[i].dir;
    free(items_);
    delete prototype_;
}

int CacheDirArray::grow() {
    if (used_ < capacity_) return 0;
    auto* grown = static_cast<Entry*>(realloc(items_, sizeof(Entry) * static_cast<size_t>(capacity_ + kGrowth)));
    if (grown == nullptr) {
        debug(1, "append(): %s: errno=%d\n", "out of memory", errno);
        return -1;
    }
    items_ = grown;
    capacity_ += kGrowth;
    return 0;
}

int CacheDirArray::append(JobResultsCacheDir* dir) {
    if (grow() != 0) {
        delete dir;
        return -1;
    }
    items_[used_++] = Entry{dir};
    return 0;
}

int CacheDirArray::scanning(const JobResultsCacheFs& cache, int64_t jobId) {
    if (prototype_ != nullptr) {
        for (int i = 0; i < used_; ++i)
            if (at(i) == nullptr) return -1;
        delete prototype_;
        prototype_ = nullptr;
        lazy_ = false;
    }
    jobId_ = jobId;
    prototype_ = new (std::nothrow) JobResultsCacheDir(cache.getAppType(), 0, 0, jobId, static_cast<BackupType>(6), 0,
                                                       cache.getCacheType());
    if (prototype_ == nullptr) {
        debug(1, "scanning(): %s: errno=%d\n", "out of memory", errno);
        return -1;
    }
    prototype_->initializeLike(cache);
    lazy_ = prototype_->initialized_;
    return 0;
}

int CacheDirArray::found(unsigned long talCell, unsigned long app, unsigned long timeStamp) {
    const Entry entry{nullptr, static_cast<uint32_t>(talCell), static_cast<uint32_t>(app),
                      static_cast<uint32_t>(timeStamp)};
    if (!lazy_) {
        JobResultsCacheDir* dir = make(entry);
        return dir == nullptr ? -2 : append(dir);
    }
    if (grow() != 0) return -1;
    items_[used_++] = entry;
    return 0;
}

JobResultsCacheDir* CacheDirArray::make(const Entry& entry) {
    if (prototype_ == nullptr) return nullptr;  // an entry appended as a null object
    auto* dir = new (std::nothrow) JobResultsCacheDir(prototype_->getAppType(), entry.talCell, entry.app, jobId_,
                                                      static_cast<BackupType>(6), entry.timeStamp,
                                                      prototype_->getCacheType());
    if (dir == nullptr) {
        debug(1, "make(): %s: errno=%d\n", "out of memory", errno);
        return nullptr;
    }
    dir->initializeLike(*prototype_);
    if (entry.atimeRead) {
        // As the object that read the State file was left: its cached time, or the mark that
        // the file cannot be read, and its last error.
        if (dir->otherStuff_ != nullptr) dir->otherStuff_->atime = entry.atime;
        dir->atimeUnavailable_ = entry.atimeUnavailable;
        dir->lastError_ = entry.atimeError;
    }
    return dir;
}

JobResultsCacheDir* CacheDirArray::at(int index) {
    Entry& entry = items_[index];
    if (entry.dir == nullptr) entry.dir = make(entry);
    return entry.dir;
}

int CacheDirArray::remove(int index) {
    if (index < 0 || index >= used_) {
        debug(1, "CacheDirArray::remove(): invalid index=%d for size=%d\n", index, used_);
        return 0;
    }
    delete items_[index].dir;
    std::copy(items_ + index + 1, items_ + used_, items_ + index);
    --used_;
    return 0;
}

int CacheDirArray::keyOf(Entry& entry, bool useAccessTime, uint32_t& key) {
    if (entry.dir != nullptr) {
        key = useAccessTime ? static_cast<uint32_t>(entry.dir->getAtime())
                            : static_cast<uint32_t>(entry.dir->getTimeStamp());
        return 0;
    }
    if (!useAccessTime) {
        key = entry.timeStamp;
        return 0;
    }
    // Read through an object of the directory that lives only for the read: the entry keeps
    // what it learnt, so that the object at() makes later does not read the file again.
    JobResultsCacheDir* dir = make(entry);
    if (dir == nullptr) return -1;
    key = static_cast<uint32_t>(dir->getAtime());
    entry.atime = dir->otherStuff_ != nullptr ? dir->otherStuff_->atime : 0;
    entry.atimeUnavailable = dir->atimeUnavailable_;
    entry.atimeError = dir->lastError_;
    entry.atimeRead = true;
    delete dir;
    return 0;
}

int CacheDirArray::sort(bool useAccessTime) {
    debug(1, "Sorting cache dirs, useAccessTime=%d\n", useAccessTime ? 1 : 0);
    // Keys are read once: getAtime may touch the disk.
    std::vector<std::pair<uint32_t, int>> keyed(static_cast<size_t>(used_));
    for (int i = 0; i < used_; ++i) {
        keyed[static_cast<size_t>(i)].second = i;
        if (keyOf(items_[i], useAccessTime, keyed[static_cast<size_t>(i)].first) != 0) {
            debug(1, "sort(): %s: errno=%d\n", "out of memory", errno);
            return -1;
        }
    }
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    // Position i takes the entry from keyed[i].second: moved in place, cycle by cycle, so that
    // the sort needs no second copy of the entries. A moved position is marked by its own index.
    for (int i = 0; i < used_; ++i) {
        if (keyed[static_cast<size_t>(i)].second == i) continue;
        const Entry first = items_[i];
        int to = i;
        for (int from = keyed[static_cast<size_t>(to)].second; from != i; from = keyed[static_cast<size_t>(to)].second) {
            items_[to] = items_[from];
            keyed[static_cast<size_t>(to)].second = to;
            to = from;
        }
        items_[to] = first;
        keyed[static_cast<size_t>(to)].second = to;
    }
    debug(1, "Finished sorting cache dirs\n");
    return 0;
}
