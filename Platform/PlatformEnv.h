// Where the stand-ins for the product's services find their files, and the few facts about the
// running process that the diagnostics need. Every environment variable the stand-ins read is
// resolved here and nowhere else.
#pragma once

#include <string>

struct PlatformEnv {
    // VORNICA_INSTANCE, default "Instance001": the product instance (the focus). Set to an
    // empty value, the process belongs to no instance.
    static std::string instanceName();
    // VORNICA_CONFIG, default /etc/vornica/<instance>.ini: the instance's settings.
    static std::string configPath();
    static std::string configPathFor(const std::string& instance);
    // VORNICA_DEBUG_DIR, default "/tmp/": always ends in '/'.
    static std::string logDirectory();
    // VORNICA_LOCK_DIR, default /tmp/vornica-locks: machine-wide named locks.
    static std::string lockDirectory();
    // The running program's short name, as the kernel knows it.
    static std::string programName();
    static long processId();
    // Existence only (the C access test); errno tells why not.
    static bool pathExists(const char* path);
    static bool stdoutIsTerminal();
    // This machine's host name (gethostname), "localhost" when it cannot be read.
    static std::string machineName();
};
