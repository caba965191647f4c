// Hands out the app-level entries of one talCell directory: all of them when the app number is
// 0, otherwise only that app's number, once, without reading the directory (so an app is found
// even where a listing would not show it).
#pragma once

#include "Indexing/icommon/TDebuggable.h"

class CXDirectory;

class AppScanOptimizer : public TDebuggable {
public:
    AppScanOptimizer(CXDirectory& directory, unsigned appNumber);
    // The next entry name, or null at the end.
    const char* next();

private:
    CXDirectory& directory_;
    unsigned appNumber_;
    bool firstCall_ = true;
    char appText_[16];
};
