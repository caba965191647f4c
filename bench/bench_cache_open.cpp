// The cost of the cache directory's lock protocol:
//   bench_cache_open DIRECTORY [ROUNDS]
// 1. An uncontended open for reading and close of a server cache directory, against the check
//    that follows every lock grant (is the locked file still the State file at the path).
// 2. The time an open for writing of a client cache waits behind a reader in another process
//    that closes: from the reader's close to the writer holding the directory.
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "BenchCommon.h"

#include "Indexing/icommon/TDebuggable.h"
#include "Indexing/idxport/CXFile.h"
#include "Indexing/indexcachedir/JobResultsCacheDir.h"

namespace {
long long nowNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

JobResultsCacheDir* makeDir(KRAppType type, unsigned long stamp) {
    auto* dir = new JobResultsCacheDir(type, 2, 7, 1, static_cast<BackupType>(1), stamp, TCacheIndex);
    dir->initialize("client1");
    return dir;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_cache_open DIRECTORY [ROUNDS]\n");
        return 64;
    }
    const std::string base = argv[1];
    benchRequireDirectory("bench_cache_open", base);
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 20;
    std::ofstream(base + "/instance.ini") << "[Focus]\nClientName=client1\n[MediaAgent]\nIndexCacheDirectory=" << base
                                          << "\n[Platform]\nTalClient=1\n[~Machines\\client1]\nJobResultsDirectory="
                                          << base << "\n";
    setenv("VORNICA_CONFIG", (base + "/instance.ini").c_str(), 1);
    setenv("VORNICA_DEBUG_DIR", (base + "/").c_str(), 1);
    TDebuggable::logEvents(0);

    // 1. Uncontended open and close, and the verify step alone.
    JobResultsCacheDir* writer = makeDir(1, 0);
    if (writer->create(1700000000) == nullptr || writer->close(false) != 0) return 1;
    const int cycles = 20000;
    long long start = nowNs();
    for (int i = 0; i < cycles; ++i) {
        JobResultsCacheDir* reader = makeDir(1, 0);
        if (reader->open(0, false) == nullptr || reader->close(false) != 0) return 1;
        delete reader;
    }
    const double openClose = static_cast<double>(nowNs() - start) / cycles;
    const std::string state = base + "/KR_Index/2/7/1700000000/State";
    CXFile file;
    file.open(state.c_str(), sfReadWrite);
    start = nowNs();
    for (int i = 0; i < cycles; ++i)
        if (!file.isStillAt(state.c_str())) return 1;
    const double verify = static_cast<double>(nowNs() - start) / cycles;
    std::printf("open+close for reading: %.1f us; the check after a lock grant: %.2f us (%.1f%% of it)\n",
                openClose / 1000, verify / 1000, 100 * verify / openClose);
    benchSummaryRow("check after a lock grant", benchText("%.2f us", verify / 1000),
                    benchText("open+close %.1f us", openClose / 1000), verify / openClose, "keep");

    // 2. A writer's open waiting behind a reader that closes.
    JobResultsCacheDir* client = makeDir(kAppTypeJobResults, 900);
    if (client->create(0) == nullptr || client->close(false) != 0) return 1;
    std::vector<double> waits;
    for (int round = 0; round < rounds; ++round) {
        int toParent[2];
        if (pipe(toParent) != 0) return 1;
        const pid_t child = fork();
        if (child == 0) {
            JobResultsCacheDir* reader = makeDir(kAppTypeJobResults, 900);
            if (reader->open(900, true) == nullptr) _exit(2);
            long long closedAt = 0;
            if (write(toParent[1], &closedAt, sizeof closedAt) < 0) _exit(3);  // holding now
            usleep(50000 + 7919 * static_cast<useconds_t>(round % 13));
            closedAt = nowNs();
            reader->close(false);
            if (write(toParent[1], &closedAt, sizeof closedAt) < 0) _exit(3);
            _exit(0);
        }
        long long closedAt = 0;
        if (read(toParent[0], &closedAt, sizeof closedAt) != sizeof closedAt) return 1;
        JobResultsCacheDir* opener = makeDir(kAppTypeJobResults, 900);
        if (opener->open(0, false) == nullptr) return 1;
        const long long heldAt = nowNs();
        if (read(toParent[0], &closedAt, sizeof closedAt) != sizeof closedAt) return 1;
        waits.push_back(static_cast<double>(heldAt - closedAt) / 1e6);
        opener->close(false);
        delete opener;
        waitpid(child, nullptr, 0);
        close(toParent[0]);
        close(toParent[1]);
    }
    std::sort(waits.begin(), waits.end());
    double sum = 0;
    for (double w : waits) sum += w;
    std::printf("open for writing behind a reader that closes, %d rounds: median %.1f ms, mean %.1f ms, worst %.1f ms\n",
                rounds, waits[waits.size() / 2], sum / static_cast<double>(waits.size()), waits.back());
    return 0;
}
