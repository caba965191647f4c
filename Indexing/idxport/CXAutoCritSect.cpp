#include "Indexing/idxport/CXAutoCritSect.h"

CXAutoCritSect::CXAutoCritSect(CXCritSect* section, [[maybe_unused]] const char* where, bool doLock) {
    if (doLock && section != nullptr) {
        section->lock();
        section_ = section;
    }
}

CXAutoCritSect::~CXAutoCritSect() {
    if (section_ != nullptr) section_->unlock();
}
