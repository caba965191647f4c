// Writers and readers of job results as other processes (job 5:7 of talCell 2, client client1).
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "HelperCommand.h"
#include "Indexing/idxport/CXFile.h"
#include "JobResults/RetrieveResults.h"
#include "JobResults/StoreResults.h"

namespace {
constexpr unsigned long kTalCell = 2;
constexpr int64_t kJobId = (int64_t(5) << 32) | 7;

bool writeLines(CXFile& file, const std::string& tag, int from, int to) {
    for (int i = from; i <= to; ++i)
        if (file.putLine((tag + "-" + std::to_string(i)).c_str(), false) != 0) return false;
    return file.bufWriteFlush() == 0;
}
}  // namespace

// results_raw_writer TAG LINES: opens a raw file (holding the shared State lock), writes the
// first half of its LINES lines "TAG-<n>" and says "ready"; on a line it writes the rest, closes
// the file and exits, which lets the lock go.
HELPER_COMMAND(results_raw_writer) {
    if (args.size() != 2) return 64;
    const int lines = std::atoi(args[1].c_str());
    StoreResults store(kTalCell, kJobId, true, "client1");
    std::string rawName;
    if (store.openRaw(kResultsBackup, rawName)) return 2;
    CXFile raw;
    if (raw.open(rawName.c_str(), sfOpenOrCreate) != 0 || !writeLines(raw, args[0], 1, lines / 2)) return 3;
    helperSay("ready");
    helperAwaitLine();
    if (!writeLines(raw, args[0], lines / 2 + 1, lines) || raw.close() != 0) return 4;
    return 0;
}

// results_direct_writer LINES: opens the results file with a map, says "ready", and on a line
// appends LINES lines "line-<n>" (flushed every 64 lines), closes and says "done".
HELPER_COMMAND(results_direct_writer) {
    if (args.size() != 1) return 64;
    const int lines = std::atoi(args[0].c_str());
    StoreResults store(kTalCell, kJobId, true, "client1");
    if (store.openFile(kResultsBackup, true, true)) return 2;
    helperSay("ready");
    helperAwaitLine();
    for (int i = 1; i <= lines; ++i)
        if (store.putLine(("line-" + std::to_string(i)).c_str(), i % 64 == 0)) return 3;
    if (store.closeFile()) return 4;
    helperSay("done");
    return 0;
}

// results_generate_stall N: asks for the first page of the job's backup results, which merges
// its raw files; at the N-th read of a raw file it says "merging" and waits, to be killed there.
HELPER_COMMAND(results_generate_stall) {
    if (args.size() != 1) return 64;
    static int stallAt = std::atoi(args[0].c_str());
    CXFile::setReadCallForTests([](int fd, char* buffer, unsigned long size) -> long {
        char link[64], target[4096];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        const ssize_t length = readlink(link, target, sizeof target - 1);
        if (length > 0) {
            target[length] = '\0';
            if (strstr(target, "/backup_") != nullptr && --stallAt == 0) {
                helperSay("merging");
                helperAwaitLine();
                std::_Exit(9);
            }
        }
        return ::read(fd, buffer, size);
    });
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return 2;
    std::thread drain([&] {
        char sink[65536];
        while (::read(ends[1], sink, sizeof sink) > 0) {
        }
    });
    RetrieveResults reader(kTalCell, kJobId, kResultsBackup, "client1");
    CYuSocket socket(ends[0]);
    const bool failed = reader.getPage(1, 1, 10, &socket);
    ::shutdown(ends[0], SHUT_RDWR);
    drain.join();
    helperSay(failed ? "failed" : "served");
    return 0;
}
