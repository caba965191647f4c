#include "Platform/PlatformEnv.h"

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

namespace {
std::string envOr(const char* name, const std::string& fallback) {
    const char* value = getenv(name);
    return (value != nullptr && *value != '\0') ? std::string(value) : fallback;
}
}  // namespace

std::string PlatformEnv::instanceName() { return envOr("VORNICA_INSTANCE", "Instance001"); }

std::string PlatformEnv::configPath() {
    return envOr("VORNICA_CONFIG", "/etc/vornica/" + instanceName() + ".ini");
}

std::string PlatformEnv::logDirectory() {
    std::string dir = envOr("VORNICA_DEBUG_DIR", "/tmp/");
    if (dir.back() != '/') dir += '/';
    return dir;
}

std::string PlatformEnv::lockDirectory() { return envOr("VORNICA_LOCK_DIR", "/tmp/vornica-locks"); }

std::string PlatformEnv::programName() { return program_invocation_short_name; }

std::string PlatformEnv::machineName() {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "localhost";
    return host;
}
