// Where the stand-ins for the product's services find their files.
// Every environment variable they read is resolved here and nowhere else.
#pragma once

#include <string>

struct PlatformEnv {
    // VORNICA_INSTANCE, default "Instance001": the product instance (the focus).
    static std::string instanceName();
    // VORNICA_CONFIG, default /etc/vornica/<instance>.ini: the instance's settings.
    static std::string configPath();
    // VORNICA_DEBUG_DIR, default "/tmp/": always ends in '/'.
    static std::string logDirectory();
    // VORNICA_LOCK_DIR, default /tmp/vornica-locks: machine-wide named locks.
    static std::string lockDirectory();
    // The running program's short name, as the kernel knows it.
    static std::string programName();
    // This machine's host name (gethostname), "localhost" when it cannot be read.
    static std::string machineName();
};
