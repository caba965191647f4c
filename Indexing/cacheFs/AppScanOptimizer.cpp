#include "Indexing/cacheFs/AppScanOptimizer.h"

#include <cstdio>

#include "Indexing/idxport/CXDirectory.h"

AppScanOptimizer::AppScanOptimizer(CXDirectory& directory, unsigned appNumber)
    : directory_(directory), appNumber_(appNumber) {
    snprintf(appText_, sizeof appText_, "%u", appNumber);
}

const char* AppScanOptimizer::next() {
    if (appNumber_ == 0) return directory_.read();
    if (!firstCall_) return nullptr;
    firstCall_ = false;
    return appText_;
}
