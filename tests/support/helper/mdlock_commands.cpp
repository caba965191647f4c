#include <cstdlib>

#include "HelperCommand.h"
#include "Platform/MDLock.h"

// mdlock_hold NAME: takes the named lock without limit, prints "ready", holds it until a line
// arrives, then releases it.
HELPER_COMMAND(mdlock_hold) {
    if (args.size() != 1) return 64;
    MDLock lock(args[0].c_str());
    if (!lock.set(MDLock::kWaitForever)) {
        helperSay("failed");
        return 1;
    }
    helperSay("ready");
    helperAwaitLine();
    lock.unset();
    return 0;
}

// mdlock_wait NAME TIMEOUT: prints "waiting", then tries the lock (TIMEOUT in milliseconds, or
// "forever") and prints "acquired" or "timeout". Holding it, it waits for a line before release.
HELPER_COMMAND(mdlock_wait) {
    if (args.size() != 2) return 64;
    unsigned long timeout = args[1] == "forever" ? MDLock::kWaitForever : std::strtoul(args[1].c_str(), nullptr, 10);
    MDLock lock(args[0].c_str());
    helperSay("waiting");
    if (!lock.set(timeout)) {
        helperSay("timeout");
        return 0;
    }
    helperSay("acquired");
    helperAwaitLine();
    return 0;
}
