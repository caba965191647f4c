// A direct writer of job results that dies before it closes (job 5:7 of talCell 2).
#include <cstdlib>
#include <string>

#include "HelperCommand.h"
#include "JobResults/StoreResults.h"

// store_unflushed COUNT: appends COUNT lines "line-<n>" followed by n % 97 x's to the backup
// results file without asking for a flush (its buffers reach the disk only when they fill),
// says "ready" and waits to be killed.
HELPER_COMMAND(store_unflushed) {
    if (args.size() != 1) return 64;
    StoreResults store(2, (int64_t(5) << 32) | 7, true, "client1");
    if (store.openFile(kResultsBackup, true, false)) return 1;
    const long count = std::atol(args[0].c_str());
    std::string line;
    for (long n = 1; n <= count; ++n) {
        line.assign("line-").append(std::to_string(n)).append(static_cast<size_t>(n % 97), 'x');
        if (store.putLine(line.c_str(), false)) return 2;
    }
    helperSay("ready");
    helperAwaitLine();
    return 0;
}
