#include "tests/support/DeniedDirectory.h"

#include <errno.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <thread>

bool runWithoutFileOverrides(const std::function<void()>& fn) {
    bool dropped = false;
    std::thread worker([&] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct caps[2]{};
        syscall(SYS_capget, &header, caps);
        caps[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        dropped = syscall(SYS_capset, &header, caps) == 0;
        if (dropped) fn();
    });
    worker.join();
    return dropped;
}

bool runWhereDirectoryRefusesWrites(const std::string& directory, const std::function<void()>& fn) {
    bool denied = false;
    runWithoutFileOverrides([&] {
        denied = mkdir((directory + "/probe").c_str(), 0700) != 0 && errno == EACCES;
        if (denied) fn();
    });
    return denied;
}
