// What every fuzz target shares: one temporary directory for the whole run, holding the
// library's settings file, log directory and lock directory, with the library's environment
// pointed at them. The directory is removed when the run ends normally.
//
// The sandbox keeps one debuggable object alive, as a host process would: the debug mask is read
// once, from an empty settings file (the default mask), and no fuzzed settings text can raise it.
// The library writes its debug lines to the journal in the log directory; trimJournal, called
// after every input, empties it once it passes a few MiB so that a long run cannot fill the disk.
#pragma once

#include <memory>
#include <string>

#include "tests/support/TempDir.h"

class TDebuggable;

class FuzzSandbox {
public:
    FuzzSandbox();
    ~FuzzSandbox();
    FuzzSandbox(const FuzzSandbox&) = delete;
    FuzzSandbox& operator=(const FuzzSandbox&) = delete;

    // path() + "/" + name
    std::string file(const std::string& name) const { return dir_.file(name); }
    const std::string& settingsPath() const { return settingsPath_; }
    void writeSettings(const std::string& text) const;
    void trimJournal() const;

private:
    TempDir dir_;
    std::string settingsPath_;
    std::unique_ptr<TDebuggable> debugHolder_;
};
