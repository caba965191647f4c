// The cache directories one cleanup run considers, owned, sorted newest first.
#pragma once

#include "Indexing/icommon/TDebuggable.h"

class JobResultsCacheDir;

class CacheDirArray : public TDebuggable {
public:
    static constexpr int kGrowth = 2048;

    explicit CacheDirArray(int capacity = kGrowth);
    ~CacheDirArray() override;
    CacheDirArray(const CacheDirArray&) = delete;
    CacheDirArray& operator=(const CacheDirArray&) = delete;

    bool valid() const { return items_ != nullptr; }
    // Takes ownership. 0, or -1 when the array cannot grow (logged).
    int append(JobResultsCacheDir* dir);
    int getSize() const { return used_; }
    JobResultsCacheDir* at(int index) const { return items_[index]; }
    // Destroys the element and closes the gap; an index out of range is logged and ignored.
    int remove(int index);
    // Newest first: largest access time (useAccessTime) or time stamp first.
    int sort(bool useAccessTime);

private:
    JobResultsCacheDir** items_ = nullptr;
    int capacity_ = 0;
    int used_ = 0;
};
