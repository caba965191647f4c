// scanForCleanUp plus its sort by access time over 20,000 cache directories (2 talCells x 100
// apps x 100 time stamps, each with a State file), against the floor of listing the same tree
// and reading every State file with standard tools and with a plain C loop, in one run:
//   bench_cleanup_scan DIRECTORY
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "BenchCommon.h"

#include "Indexing/cacheFs/CacheDirArray.h"
#include "Indexing/cacheFs/JobResultsCacheFs.h"
#include "Indexing/icommon/TDebuggable.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {
double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// The floor: list the three levels and read each State file once, nothing kept.
long plainLoop(const std::string& root) {
    long found = 0;
    char buffer[256];
    auto list = [](const std::string& path, auto&& each) {
        DIR* dir = opendir(path.c_str());
        if (dir == nullptr) return;
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') each(path + "/" + entry->d_name);
        closedir(dir);
    };
    list(root, [&](const std::string& cell) {
        list(cell, [&](const std::string& app) {
            list(app, [&](const std::string& stamp) {
                int fd = open((stamp + "/State").c_str(), O_RDONLY | O_CLOEXEC);
                if (fd < 0) return;
                found += read(fd, buffer, sizeof buffer) > 0 ? 1 : 0;
                close(fd);
            });
        });
    });
    return found;
}

// The cache named by the settings in config scanned and sorted once: false on success; took:
// the time of the scan and sort.
bool scanOnce(const std::string& config, int& found, double& took) {
    setenv("VORNICA_CONFIG", config.c_str(), 1);
    JobResultsCacheFs cache(1, TCacheIndex);
    cache.initialize("client1");
    const auto start = Clock::now();
    CacheDirArray array;
    if (cache.scanForCleanUp(array, true, 0, 0) != 0) return true;
    took = seconds(start);
    found = array.getSize();
    return false;
}

// A cache of 2 x apps x 100 directories under base/KR_Index and its settings in base/instance.ini.
std::string makeCache(const std::string& base, int apps) {
    benchMakeCacheTree(base + "/KR_Index", apps);
    std::ofstream(base + "/instance.ini") << "[Focus]\nClientName=client1\n[MediaAgent]\nIndexCacheDirectory=" << base
                                          << "\n";
    return base + "/instance.ini";
}
}  // namespace

int main(int argc, char** argv) {
    // The peak memory run: one scan of the cache that the settings file names.
    if (argc == 3 && std::string(argv[1]) == "--peak") {
        TDebuggable::logEvents(0);
        int found = 0;
        double took = 0;
        if (scanOnce(argv[2], found, took)) return 1;
        std::printf("%ld\n", benchOwnPeakKiB());
        return 0;
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_cleanup_scan DIRECTORY\n");
        return 64;
    }
    const std::string base = argv[1];
    benchRequireDirectory("bench_cleanup_scan", base);
    const std::string root = base + "/KR_Index";
    const std::string config = makeCache(base, 100);
    setenv("VORNICA_DEBUG_DIR", (base + "/").c_str(), 1);
    TDebuggable::logEvents(0);  // the figures are about the scan, not the debug journal
    const std::string floor = "find " + root + " -name State -print0 | xargs -0 cat > /dev/null";
    if (system(floor.c_str()) != 0) return 1;  // warm the caches

    double floorBest = 1e9, scanBest = 1e9, loopBest = 1e9;
    int found = 0;
    for (int round = 0; round < 3; ++round) {
        auto start = Clock::now();
        if (system(floor.c_str()) != 0) return 1;
        floorBest = std::min(floorBest, seconds(start));
        start = Clock::now();
        if (plainLoop(root) != 20000) return 1;
        loopBest = std::min(loopBest, seconds(start));

        double took = 0;
        if (scanOnce(config, found, took)) return 1;
        scanBest = std::min(scanBest, took);
    }
    std::printf("scanForCleanUp + sort of %d directories: %.3f s; find + cat of the State files: %.3f s (ratio %.2f); "
                "a plain C loop: %.3f s (ratio %.2f)\n",
                found, scanBest, floorBest, scanBest / floorBest, loopBest, scanBest / loopBest);
    const std::string small = base + "/small";
    const long peakSmall = benchPeakKiB({argv[0], "--peak", makeCache(small, 25)});
    const long peakLarge = benchPeakKiB({argv[0], "--peak", config});
    std::filesystem::remove_all(small);
    benchPeakRow("cleanup scan + sort", peakSmall, "5000 directories", peakLarge, "20000 directories");
    // What each directory of the result costs: the growth between the two sizes.
    std::printf("peak memory per directory of the result: %ld bytes\n", (peakLarge - peakSmall) * 1024 / 15000);
    benchSummaryRow("cleanup scan + sort", benchText("%.3f s (%d directories)", scanBest, found),
                    benchText("plain C loop %.3f s", loopBest), scanBest / loopBest, "<= 2");
    return 0;
}
