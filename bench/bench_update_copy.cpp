// An incremental job's update by copy of the previous index, against `cp -r` of the same
// directory in the same run:
//   bench_update_copy DIRECTORY [MEGABYTES, default 1024] [ROUNDS, default 3]
// The previous index is MEGABYTES of files in a few subdirectories; each round times one update
// (into a new directory, removed afterwards) and one `cp -r` (likewise), alternating, and the
// best time of each is compared.
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "BenchCommon.h"

#include "Indexing/icommon/TDebuggable.h"
#include "Indexing/indexcachedir/JobResultsCacheDir.h"

namespace {
double nowSeconds() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Files of 16 MB in four subdirectories and the top level, filled from a fixed seed.
void makeIndex(const std::string& dir, long megabytes) {
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/State") << "0\r\n100    \r\n";
    std::mt19937_64 random(20240601);
    std::vector<uint64_t> block(1 << 17);  // 1 MB
    for (long file = 0; file * 16 < megabytes; ++file) {
        const std::string sub = file % 5 == 0 ? dir : dir + "/part" + std::to_string(file % 5);
        std::filesystem::create_directories(sub);
        std::ofstream out(sub + "/index" + std::to_string(file) + ".dat", std::ios::binary);
        for (long mb = 0; mb < 16 && file * 16 + mb < megabytes; ++mb) {
            for (uint64_t& word : block) word = random();
            out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size() * 8));
        }
    }
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_update_copy DIRECTORY [MEGABYTES] [ROUNDS]\n");
        return 64;
    }
    const std::string base = argv[1];
    benchRequireDirectory("bench_update_copy", base);
    const long megabytes = argc > 2 ? std::atol(argv[2]) : 1024;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
    std::ofstream(base + "/instance.ini") << "[Focus]\nClientName=client1\n[MediaAgent]\nIndexCacheDirectory=" << base
                                          << "\n[Platform]\nTalClient=1\n";
    setenv("VORNICA_CONFIG", (base + "/instance.ini").c_str(), 1);
    setenv("VORNICA_DEBUG_DIR", (base + "/").c_str(), 1);
    TDebuggable::logEvents(0);
    const std::string app = base + "/KR_Index/2/7", previous = app + "/100", copy = base + "/cp-copy";
    makeIndex(previous, megabytes);

    double bestUpdate = 1e30, bestCp = 1e30;
    for (int round = 0; round < rounds; ++round) {
        JobResultsCacheDir job(1, 2, 7, 1, static_cast<BackupType>(1), 0, TCacheIndex);
        job.initialize("client1");
        double start = nowSeconds();
        const char* path = job.update(false, 0, false);
        const double updated = nowSeconds() - start;
        if (path == nullptr) {
            std::fprintf(stderr, "update failed, errno %d\n", job.getErrno());
            return 1;
        }
        const std::string made = path;
        job.close(false);
        std::filesystem::remove_all(made);
        bestUpdate = std::min(bestUpdate, updated);

        start = nowSeconds();
        const std::string command = "cp -r '" + previous + "' '" + copy + "'";
        if (std::system(command.c_str()) != 0) return 1;
        bestCp = std::min(bestCp, nowSeconds() - start);
        std::filesystem::remove_all(copy);
    }
    std::printf("update by copy of a %ld MB index: %.2f s; cp -r: %.2f s; ratio %.2f (best of %d)\n", megabytes,
                bestUpdate, bestCp, bestUpdate / bestCp, rounds);
    benchSummaryRow("update by copy", benchText("%.2f s (%ld MB)", bestUpdate, megabytes),
                    benchText("cp -r %.2f s", bestCp), bestUpdate / bestCp, "keep");
    return 0;
}
