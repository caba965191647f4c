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
