#include "Indexing/idxport/CXDirectoryW.h"

#include <cerrno>

#include "Platform/CYuUTFOSAPI.h"

CXDirectoryW::CXDirectoryW() { setDebugPrefix("WDIRECTORY"); }

CXDirectoryW::~CXDirectoryW() { close(); }

int CXDirectoryW::open(const wchar_t* dirname) {
    if (dirname == nullptr || *dirname == L'\0') {
        lastError_ = kErrWrongState;
        return -1;
    }
    if (openFlag_ != 0) close();
    std::string path;
    if (CYuUTFOSAPI::LocalEncodingToUTF8(dirname, path).IsErrorSet()) {
        lastError_ = EILSEQ;
        return -1;
    }
    lastError_ = stream_.open(path.c_str());
    if (lastError_ != 0) return -1;
    openFlag_ = 1;
    name_ = dirname;
    return 0;
}

wchar_t* CXDirectoryW::read() {
    if (openFlag_ == 0) {
        lastError_ = kErrWrongState;
        return nullptr;
    }
    const char* name = stream_.next(lastError_);
    if (name == nullptr) return nullptr;
    if (CYuUTFOSAPI::UTF8ToLocalEncoding(name, entry_).IsErrorSet()) {
        lastError_ = EILSEQ;
        return nullptr;
    }
    return entry_.data();
}

int CXDirectoryW::close() {
    if (openFlag_ == 0) return 0;
    openFlag_ = 0;
    const int error = stream_.close();
    if (error == 0) return 0;
    lastError_ = error;
    return -1;
}
