#include "tests/support/ProcessTable.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/TempDir.h"

namespace {
// The fields of /proc/PID/stat after the command name: state, parent, ...
std::string fieldsAfterName(long pid) {
    std::string stat = readFileText("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? std::string() : stat.substr(close + 2);
}
}  // namespace

char processState(long pid) {
    std::string fields = fieldsAfterName(pid);
    return fields.empty() ? '\0' : fields[0];
}

std::vector<long> zombieChildren() {
    std::vector<long> zombies;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ignored)) {
        const long pid = std::atol(entry.path().filename().c_str());
        const std::string fields = pid > 0 ? fieldsAfterName(pid) : "";
        if (fields.size() > 2 && fields[0] == 'Z' && std::atol(fields.c_str() + 2) == static_cast<long>(getpid()))
            zombies.push_back(pid);
    }
    return zombies;
}

bool awaitProcessEnd(long pid) {
    for (int i = 0; i < 1000; ++i) {
        char state = processState(pid);
        if (state == '\0' || state == 'Z') return true;
        usleep(10000);
    }
    return false;
}
