#include "Indexing/cacheFs/CacheDirArray.h"

#include <algorithm>
#include <cerrno>
#include <new>

#include "Indexing/indexcachedir/JobResultsCacheDir.h"

CacheDirArray::CacheDirArray(int capacity) {
    setDebugPrefix("CDIRARRAY");
    items_ = new (std::nothrow) JobResultsCacheDir*[capacity > 0 ? capacity : kGrowth];
    if (items_ == nullptr) {
        debug(1, "constructor: %s: errno=%d\n", "out of memory", errno);
        return;
    }
    capacity_ = capacity > 0 ? capacity : kGrowth;
}

CacheDirArray::~CacheDirArray() {
    for (int i = 0; i < used_; ++i) delete items_[i];
    delete[] items_;
}

int CacheDirArray::append(JobResultsCacheDir* dir) {
    if (used_ == capacity_) {
        auto** grown = new (std::nothrow) JobResultsCacheDir*[capacity_ + kGrowth];
        if (grown == nullptr) {
            debug(1, "append(): %s: errno=%d\n", "out of memory", errno);
            delete dir;
            return -1;
        }
        std::copy(items_, items_ + used_, grown);
        delete[] items_;
        items_ = grown;
        capacity_ += kGrowth;
    }
    items_[used_++] = dir;
    return 0;
}

int CacheDirArray::remove(int index) {
    if (index < 0 || index >= used_) {
        debug(1, "CacheDirArray::remove(): invalid index=%d for size=%d\n", index, used_);
        return 0;
    }
    delete items_[index];
    std::copy(items_ + index + 1, items_ + used_, items_ + index);
    --used_;
    return 0;
}

int CacheDirArray::sort(bool useAccessTime) {
    debug(1, "Sorting cache dirs, useAccessTime=%d\n", useAccessTime ? 1 : 0);
    // Keys are read once: getAtime may touch the disk.
    std::vector<std::pair<uint32_t, JobResultsCacheDir*>> keyed;
    keyed.reserve(static_cast<size_t>(used_));
    for (int i = 0; i < used_; ++i)
        keyed.emplace_back(useAccessTime ? static_cast<uint32_t>(items_[i]->getAtime())
                                         : static_cast<uint32_t>(items_[i]->getTimeStamp()),
                           items_[i]);
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (int i = 0; i < used_; ++i) items_[i] = keyed[static_cast<size_t>(i)].second;
    debug(1, "Finished sorting cache dirs\n");
    return 0;
}
