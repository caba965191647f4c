// The wide-character twin of CXDirectory's enumeration: open, read, close, with the same results
// and error numbers, and no log lines.
//
// File names are bytes on this platform; they are taken as UTF-8 whatever the process locale
// (services often run in the "C" locale, where no name beyond ASCII could be converted). The
// conversion is strict: a directory name that cannot be encoded fails open, and an entry whose
// name is not valid UTF-8 fails that read (null, last error EILSEQ); the next read goes on with
// the following entry.
#pragma once

#include <cstdint>
#include <string>

#include "Indexing/icommon/TDebuggable.h"
#include "Indexing/idxport/CXErrors.h"
#include "Indexing/idxport/DirectoryStream.h"

class CXDirectoryW : public TDebuggable {
public:
    CXDirectoryW();
    ~CXDirectoryW() override;
    CXDirectoryW(const CXDirectoryW&) = delete;
    CXDirectoryW& operator=(const CXDirectoryW&) = delete;

    int open(const wchar_t* dirname);
    // The next entry's name (owned by the object), or null: last error 0 at the end.
    wchar_t* read();
    int close();
    int getLastError() const { return lastError_; }

private:
    std::wstring entry_;  // the current entry's name
    DirectoryStream stream_;
    int lastError_ = 0;
    int openFlag_ = 0;
    std::wstring name_;
};
