#include "tests/support/ProcessTable.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
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
    DIR* dir = opendir("/proc");
    while (dirent* entry = dir != nullptr ? readdir(dir) : nullptr) {
        long pid = std::atol(entry->d_name);
        if (pid <= 0) continue;
        std::string fields = fieldsAfterName(pid);
        if (fields.size() > 2 && fields[0] == 'Z' && std::atol(fields.c_str() + 2) == static_cast<long>(getpid()))
            zombies.push_back(pid);
    }
    if (dir != nullptr) closedir(dir);
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
