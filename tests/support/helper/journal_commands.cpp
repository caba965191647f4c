#include <unistd.h>

#include <cstdlib>
#include <string>

#include "HelperCommand.h"
#include "Platform/EvDebug.h"

// journal_write COUNT [UID GID]: writes COUNT debug lines "line <pid> <i>" to the journal, as the
// account UID in group GID when they are given.
HELPER_COMMAND(journal_write) {
    if (args.size() != 1 && args.size() != 3) return 64;
    if (args.size() == 3 && (setgid(static_cast<gid_t>(std::atoi(args[2].c_str()))) != 0 ||
                             setuid(static_cast<uid_t>(std::atoi(args[1].c_str()))) != 0))
        return 2;
    EvDebug log;
    const int count = std::atoi(args[0].c_str());
    for (int i = 0; i < count; ++i) log.debug("line %ld %d", static_cast<long>(getpid()), i);
    return 0;
}
