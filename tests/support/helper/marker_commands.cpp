#include <grp.h>
#include <unistd.h>

#include <string>

#include "HelperCommand.h"
#include "Indexing/idxport/CXLockedMarkerFile.h"

// marker_hold FOLDER CONTENT: creates and locks FOLDER's restore marker with CONTENT, prints
// "ready" (or "failed"), holds it until a line arrives, then its destruction removes it.
HELPER_COMMAND(marker_hold) {
    if (args.size() != 2) return 64;
    CXLockedMarkerFile marker(args[0], 0);
    if (marker.openLocked(args[1].c_str()) != static_cast<int>(args[1].size() + 1)) {
        helperSay("failed");
        return 1;
    }
    helperSay("ready");
    helperAwaitLine();
    return 0;
}

// marker_check FOLDER [other-account]: prints what isLocked says of FOLDER's restore marker.
// With other-account a process of root first becomes the unprivileged account 65534 (nobody).
HELPER_COMMAND(marker_check) {
    if (args.empty() || args.size() > 2) return 64;
    if (args.size() == 2 && getuid() == 0) {
        const unsigned nobody = 65534;
        if (setgroups(0, nullptr) != 0 || setresgid(nobody, nobody, nobody) != 0 ||
            setresuid(nobody, nobody, nobody) != 0)
            return 2;
    }
    helperSay(std::to_string(CXLockedMarkerFile(args[0], 0).isLocked()));
    return 0;
}
