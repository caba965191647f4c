#include "Indexing/idxport/CXTempFile.h"

#include <cstdio>
#include <string>

#include "Indexing/idxport/CXProcessId.h"
#include "Indexing/idxport/PathSep.h"
#include "Platform/KRPI_Base.h"
#include "Platform/KRPI_Focus.h"

CXTempFile::CXTempFile() { snprintf(name_, sizeof name_, "%s", "Uninitialized"); }

int CXTempFile::create(const char* prefix) {
    snprintf(name_, sizeof name_, "%s", "Error");
    if (prefix == nullptr) return fail(kErrWrongState);
    KRPI_Base platform;
    platform.setFocus(KRPI_Focus::getFocus());
    const char* directory = platform.getHalcyTempDirectory();
    if (directory == nullptr) return fail(kErrNoTempDirectory);

    CXProcessId self;
    self.thisProcess();
    const char* idString = self.getIdString();
    if (idString == nullptr) return fail(kErrNoProcessId);
    std::string id = idString;
    for (char& c : id)
        if (c == '/') c = '_';
    const std::string base = joinPath(directory, std::string(prefix) + "_" + id);

    for (int n = 0; n <= 999999; ++n) {
        if (snprintf(name_, sizeof name_, "%s_%d", base.c_str(), n) >= static_cast<int>(sizeof name_))
            return fail(kErrWrongState);  // the whole path must fit; a cut name is never used
        // The temporary directory is shared: the file is its owner's alone.
        if (open(name_, sfCreateNew, 0, 0600) == 0) return 0;
        if (getLastError() != kErrFileExists) return -1;
    }
    return -1;
}
