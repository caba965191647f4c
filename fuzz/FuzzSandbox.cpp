#include "fuzz/FuzzSandbox.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "Indexing/icommon/TDebuggable.h"
#include "Platform/EventJournal.h"

namespace {
constexpr off_t kJournalLimit = 4 * 1024 * 1024;
}

FuzzSandbox::FuzzSandbox() : settingsPath_(dir_.file("instance.ini")) {
    const std::string logDir = dir_.file("log") + "/";
    const std::string lockDir = dir_.file("locks");
    mkdir(logDir.c_str(), 0755);
    mkdir(lockDir.c_str(), 0755);
    writeSettings("");
    setenv("VORNICA_CONFIG", settingsPath_.c_str(), 1);
    setenv("VORNICA_DEBUG_DIR", logDir.c_str(), 1);
    setenv("VORNICA_LOCK_DIR", lockDir.c_str(), 1);
    EventJournal::closeJournal();
    debugHolder_ = std::make_unique<TDebuggable>();
}

FuzzSandbox::~FuzzSandbox() {
    debugHolder_.reset();
    EventJournal::closeJournal();
}

void FuzzSandbox::writeSettings(const std::string& text) const { writeFileText(settingsPath_, text); }

void FuzzSandbox::trimJournal() const {
    // The journal is appended to with O_APPEND: after the truncation the next line lands at 0.
    const std::string journal = EventJournal::journalPath();
    struct stat st {};
    if (stat(journal.c_str(), &st) == 0 && st.st_size > kJournalLimit && truncate(journal.c_str(), 0) != 0)
        fprintf(stderr, "fuzz: cannot empty %s\n", journal.c_str());
}
