#include "Indexing/idxport/CXDirectoryW.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>

#include "Platform/CYuUTFOSAPI.h"

namespace {
DIR* stream(void* search) { return static_cast<DIR*>(search); }
}  // namespace

CXDirectoryW::CXDirectoryW() { setDebugPrefix("WDIRECTORY"); }

CXDirectoryW::~CXDirectoryW() { close(); }

// Reads the next entry into entry_. False at the end (last error 0) or on failure.
bool CXDirectoryW::fetch() {
    errno = 0;
    struct dirent* d = readdir(stream(search_));
    if (d == nullptr) {
        lastError_ = errno;
        return false;
    }
    if (CYuUTFOSAPI::UTF8ToLocalEncoding(d->d_name, entry_).IsErrorSet()) {
        lastError_ = EILSEQ;
        return false;
    }
    return true;
}

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
    emptyFlag_ = 0;
    DIR* d = opendir(path.c_str());
    if (d != nullptr) {
        search_ = d;
        openFlag_ = 1;
        name_ = dirname;
        lastError_ = 0;
        return 0;
    }
    const int error = errno == ENOTDIR ? kErrNotFound : errno;
    struct stat st;
    // As CXDirectory: only a name that turned into a directory meanwhile counts as empty.
    if (error == kErrNotFound && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        emptyFlag_ = 1;
        openFlag_ = 1;
        name_ = dirname;
        lastError_ = 0;
        return 0;
    }
    lastError_ = error;
    return -1;
}

wchar_t* CXDirectoryW::read() {
    if (openFlag_ == 0) {
        lastError_ = kErrWrongState;
        return nullptr;
    }
    if (emptyFlag_ != 0 || search_ == nullptr) {
        lastError_ = 0;
        return nullptr;
    }
    return fetch() ? entry_.data() : nullptr;
}

int CXDirectoryW::close() {
    if (openFlag_ == 0) return 0;
    int result = 0;
    if (search_ != nullptr && closedir(stream(search_)) != 0) {
        lastError_ = errno;
        result = -1;
    }
    search_ = nullptr;
    openFlag_ = 0;
    return result;
}
