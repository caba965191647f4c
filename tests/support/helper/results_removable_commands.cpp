// Removable writers of job results as other processes run them.
#include <cstdlib>
#include <string>

#include "HelperCommand.h"
#include "JobResults/StoreResults.h"

// removable_writer TALCELL JOBID KEY: says "ready", and on a line opens the job's removable
// backup results, inserts one row under KEY and says "ok" (or "failed").
HELPER_COMMAND(removable_writer) {
    if (args.size() != 3) return 64;
    StoreResults store(std::strtoul(args[0].c_str(), nullptr, 10),
                       static_cast<int64_t>(std::strtoull(args[1].c_str(), nullptr, 10)), true, "client1");
    helperSay("ready");
    helperAwaitLine();
    const bool failed = store.openRemovable(kResultsBackup) || store.putRemovableLine(args[2].c_str(), "%s row");
    helperSay(failed ? "failed" : "ok");
    return failed ? 1 : 0;
}
