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

// mdlock_wait NAME: prints "waiting", takes the lock without limit and prints "acquired";
// holding it, it waits for a line before release.
HELPER_COMMAND(mdlock_wait) {
    if (args.size() != 1) return 64;
    MDLock lock(args[0].c_str());
    helperSay("waiting");
    if (!lock.set(MDLock::kWaitForever)) return 1;
    helperSay("acquired");
    helperAwaitLine();
    return 0;
}
