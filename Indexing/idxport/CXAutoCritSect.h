// Holds a critical section for the life of a scope.
#pragma once

#include "Indexing/idxport/CXCritSect.h"

class CXAutoCritSect {
public:
    // doLock: enter the section now and leave it in the destructor; otherwise (or for a null
    // section) hold nothing. where names the calling function for the reader of the code
    // ("CacheFs::reserve"); it is not kept.
    CXAutoCritSect(CXCritSect* section, const char* where, bool doLock);
    virtual ~CXAutoCritSect();
    CXAutoCritSect(const CXAutoCritSect&) = delete;
    CXAutoCritSect& operator=(const CXAutoCritSect&) = delete;

private:
    CXCritSect* section_ = nullptr;
};
