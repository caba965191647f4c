#include "Indexing/cacheFs/CacheDirArray.h"

#include <algorithm>
#include <cerrno>
#include <new>
#include <utility>
#include <vector>

#include "Indexing/indexcachedir/JobResultsCacheDir.h"

CacheDirArray::CacheDirArray(int capacity) {
    setDebugPrefix("CDIRARRAY");
    items_ = new (std::nothrow) Entry[capacity > 0 ? capacity : kGrowth];
    if (items_ == nullptr) {
        debug(1, "constructor: %s: errno=%d\n", "out of memory", errno);
        return;
    }
    capacity_ = capacity > 0 ? capacity : kGrowth;
}

CacheDirArray::~CacheDirArray() {
    for (int i = 0; i < used_; ++i) delete items_[i].dir;
    delete[] items_;
    delete prototype_;
}

int CacheDirArray::grow() {
    if (used_ < capacity_) return 0;
    auto* grown = new (std::nothrow) Entry[capacity_ + kGrowth];
    if (grown == nullptr) {
        debug(1, "append(): %s: errno=%d\n", "out of memory", errno);
        return -1;
    }
    std::copy(items_, items_ + used_, grown);
    delete[] items_;
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
    std::vector<Entry> sorted;
    sorted.reserve(keyed.size());
    for (const auto& key : keyed) sorted.push_back(items_[key.second]);
    std::copy(sorted.begin(), sorted.end(), items_);
    debug(1, "Finished sorting cache dirs\n");
    return 0;
}
