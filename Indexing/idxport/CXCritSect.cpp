#include "Indexing/idxport/CXCritSect.h"

int CXCritSect::lock() {
    mutex_.lock();
    return 0;
}

int CXCritSect::unlock() {
    mutex_.unlock();
    return 0;
}

CXCritSect& cacheFsCritSect() {
    static CXCritSect section;
    return section;
}

namespace {
// Makes the section while the library loads, before any caller can race to make it.
[[maybe_unused]] CXCritSect& cacheFsCritSectAtLoad = cacheFsCritSect();
}  // namespace
