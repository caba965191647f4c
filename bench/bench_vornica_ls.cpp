// `vornica cache ls --no-size` over 20,000 cache directories (2 talCells x 100 apps x 100 time
// stamps, each with a State file), whole processes, against `find ROOT -name State | xargs cat`
// on the same tree in the same run. The target: within 2x of the find.
//   bench_vornica_ls DIRECTORY VORNICA
#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "BenchCommon.h"

namespace fs = std::filesystem;


int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_vornica_ls DIRECTORY VORNICA\n");
        return 2;
    }
    const std::string base = argv[1], tool = argv[2];
    const std::string root = base + "/KR_Index";
    benchMakeCacheTree(root);
    const std::string config = base + "/instance.ini";
    std::ofstream(config) << "[Focus]\nClientName=client1\n[MediaAgent]\nIndexCacheDirectory=" << base << "\n";
    fs::create_directories(base + "/log");
    const std::string env = "VORNICA_DEBUG_DIR=" + base + "/log/ ";
    const double find = bestOfRuns("bench_vornica_ls", "find " + root + " -name State | xargs cat > /dev/null", 5);
    const double ls = bestOfRuns("bench_vornica_ls", env + tool + " --config " + config + " cache ls --no-size > /dev/null", 5);
    const double json = bestOfRuns("bench_vornica_ls", env + tool + " --config " + config + " --json cache ls --no-size > /dev/null", 5);
    std::printf("vornica cache ls --no-size, 20000 dirs: %.3f s (--json %.3f s); find | xargs cat: %.3f s; ratio %.2f (target <= 2)\n",
                ls, json, find, ls / find);
    benchSummaryRow("vornica cache ls --no-size, 20000 dirs", benchText("%.3f s", ls), benchText("find|xargs cat %.3f s", find),
                    ls / find, "<= 2");
    return 0;
}
