// Writers of job results as other processes run them.
#include <cstdlib>
#include <string>

#include "HelperCommand.h"
#include "JobResults/StoreResults.h"

namespace {
int64_t jobIdOf(const std::string& text) { return static_cast<int64_t>(std::strtoull(text.c_str(), nullptr, 10)); }
}  // namespace

// store_hold TALCELL JOBID: opens the backup results file for writing, says "ready" (or
// "refused"), and closes it on a line.
HELPER_COMMAND(store_hold) {
    if (args.size() != 2) return 64;
    StoreResults store(std::strtoul(args[0].c_str(), nullptr, 10), jobIdOf(args[1]), true, "client1");
    if (store.openFile(kResultsBackup, true, false)) {
        helperSay("refused");
        return 1;
    }
    helperSay("ready");
    helperAwaitLine();
    return store.closeFile() ? 1 : 0;
}

// store_lines TALCELL JOBID COUNT [unflushed]: appends lines "line <n>" followed by n % 97 x's
// to the backup results file, flushing now and then, says "ready" once COUNT of them are written
// out and goes on until killed. Unflushed, it asks for no flush (its buffers reach the disk only
// as they fill), and after COUNT lines it says "ready" and waits, the file open, to be killed.
HELPER_COMMAND(store_lines) {
    if (args.size() != 3 && args.size() != 4) return 64;
    const bool unflushed = args.size() == 4 && args[3] == "unflushed";
    StoreResults store(std::strtoul(args[0].c_str(), nullptr, 10), jobIdOf(args[1]), true, "client1");
    if (store.openFile(kResultsBackup, true, false)) return 1;
    const long count = std::atol(args[2].c_str());
    std::string line;
    for (long n = 1;; ++n) {
        line.assign("line ").append(std::to_string(n)).append(static_cast<size_t>(n % 97), 'x');
        if (store.putLine(line.c_str(), !unflushed && (n % 13 == 0 || n == count))) return 2;
        if (n == count) helperSay("ready");
        if (n == count && unflushed) return helperAwaitLine(), 0;
    }
}

// store_reserved TALCELL JOBID COUNT: for a settings file with reservation on (decided once a
// process, hence a process of its own). Opens the backup results file, says whether the line
// "first" was "stored" or "refused", waits for a line, then stores COUNT lines of 100 x's and
// closes the file: "done", or "failed N" at the line that failed.
HELPER_COMMAND(store_reserved) {
    if (args.size() != 3) return 64;
    StoreResults store(std::strtoul(args[0].c_str(), nullptr, 10), jobIdOf(args[1]), true, "client1");
    if (store.openFile(kResultsBackup, true, true)) return 1;
    helperSay(store.putLine("first", true) ? "refused" : "stored");
    helperAwaitLine();
    const std::string line(100, 'x');
    const long count = std::atol(args[2].c_str());
    for (long n = 1; n <= count; ++n)
        if (store.putLine(line.c_str(), false)) return helperSay("failed " + std::to_string(n)), 2;
    if (store.closeFile()) return helperSay("failed at the close"), 3;
    helperSay("done");
    return 0;
}
