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

std::string PlatformEnv::instanceName() {
    // Set but empty: the process belongs to no instance (an empty focus).
    const char* value = getenv("VORNICA_INSTANCE");
    return value != nullptr ? std::string(value) : std::string("Instance001");
}

std::string PlatformEnv::configPath() { return configPathFor(instanceName()); }

std::string PlatformEnv::configPathFor(const std::string& instance) {
    return envOr("VORNICA_CONFIG", "/etc/vornica/" + instance + ".ini");
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

long PlatformEnv::processId() { return static_cast<long>(getpid()); }

bool PlatformEnv::pathExists(const char* path) { return path != nullptr && access(path, F_OK) == 0; }

bool PlatformEnv::stdoutIsTerminal() { return isatty(STDOUT_FILENO) != 0; }
