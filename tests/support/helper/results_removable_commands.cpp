// Removable writers of job results as other processes run them.
#include <cstdlib>
#include <string>

#include "HelperCommand.h"
#include "JobResults/StoreResults.h"

// removable_writer TALCELL JOBID KEY [COMMITTED WAITING]: says "ready", and on a line opens the
// job's removable backup results and puts one row under KEY, then says "ok" (or "failed") and
// ends. With COMMITTED and WAITING it puts COMMITTED rows and flushes them, puts WAITING rows
// more, says "ok" and on a line closes, saying "closed".
HELPER_COMMAND(removable_writer) {
    if (args.size() != 3 && args.size() != 5) return 64;
    StoreResults store(std::strtoul(args[0].c_str(), nullptr, 10),
                       static_cast<int64_t>(std::strtoull(args[1].c_str(), nullptr, 10)), true, "client1");
    const int committed = args.size() == 5 ? std::atoi(args[3].c_str()) : 1;
    const int waiting = args.size() == 5 ? std::atoi(args[4].c_str()) : 0;
    helperSay("ready");
    helperAwaitLine();
    bool failed = store.openRemovable(kResultsBackup);
    for (int row = 1; row <= committed + waiting && !failed; ++row)
        failed = store.putRemovableLine(args[2].c_str(), "%s row") || (row == committed && waiting > 0 && store.flushRemovable());
    helperSay(failed ? "failed" : "ok");
    if (failed || args.size() == 3) return failed ? 1 : 0;
    helperAwaitLine();
    failed = store.closeRemovable();
    helperSay(failed ? "failed" : "closed");
    return failed ? 1 : 0;
}
