// A CXFile created under a unique name in the product's temporary directory:
// <temp dir>/<prefix>_<pid>_<creation high>_<creation low>_<n>. The file stays open, read and
// write, in the object, with mode 0600.
#pragma once

#include "Indexing/idxport/CXFile.h"

class CXTempFile : public CXFile {
public:
    static constexpr size_t kNameSize = 4096;

    CXTempFile();

    // 0, or -1 with the last error: kErrNoTempDirectory, kErrNoProcessId, kErrWrongState (a
    // name that would not fit), or the error of the first open that failed otherwise.
    int create(const char* prefix);
    // "Uninitialized" before create, "Error" when create failed before choosing a name,
    // otherwise the last name create tried.
    char* getName() { return name_; }

private:
    char name_[kNameSize];
};
