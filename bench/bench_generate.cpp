// Merging raw files into the results file (generateFile, which also makes its map), against `cat` of
// the same files to one file followed by a sync of it, and the peak resident memory of the merge at
// two input sizes, which must not grow with the input:
//   bench_generate DIR [RAW_MB]      (default 670; the second size is a tenth of it)
// Each generation runs in a child process of its own, so that its peak (ru_maxrss) is its own.
// DIR receives the settings, the job directories and the data; it is left for the caller.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "BenchCommon.h"

#include "JobResults/RetrieveResults.h"

namespace {
using Clock = std::chrono::steady_clock;
constexpr unsigned long kTalCell = 2;
constexpr int kRawFiles = 8;

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// kRawFiles raw files of about 85-byte CR LF lines, rawMb in all, in the job directory of jobId;
// their paths quoted for a shell.
std::string makeRawFiles(const std::string& idx, int64_t jobId, long rawMb) {
    const std::string dir = idx + "/KR_JobResults/2/0/" + std::to_string(jobId);
    std::filesystem::create_directories(dir);
    FILE* state = std::fopen((dir + "/State").c_str(), "w");
    std::fputs("0\r\n1700000000    \r\n", state);
    std::fclose(state);
    const std::string source = dir + "/source";
    FILE* text = std::fopen(source.c_str(), "w");
    std::vector<char> buffer(1 << 20);
    setvbuf(text, buffer.data(), _IOFBF, buffer.size());
    const long lines = (rawMb << 20) / kRawFiles / 85;
    for (long i = 1; i <= lines; ++i)
        std::fprintf(text, "/data/volume%02ld/projects/file%09ld.dat 2026-12-06 17:00:00 %8ld bytes 1\r\n", i % 50, i,
                     (i * 7919) % 100000000);
    std::fclose(text);
    std::string list;
    for (int i = 0; i < kRawFiles; ++i) {
        const std::string raw = dir + "/backup_" + std::to_string(1000 + i) + "_" + std::to_string(1700000000 + i);
        std::filesystem::copy_file(source, raw);
        list += " '" + raw + "'";
    }
    std::filesystem::remove(source);
    return list;
}

struct Run {
    double seconds = -1;
    long peakKb = 0;
};

// generateFile of job jobId in a child process: its time (negative when it failed) and peak.
Run generateInChild(int64_t jobId) {
    int report[2];
    if (pipe(report) != 0) return {};
    const pid_t child = fork();
    if (child == 0) {
        close(report[0]);
        RetrieveResults generator(kTalCell, jobId, kResultsBackup, "client1");
        const auto start = Clock::now();
        const bool failed = generator.generateFile(generator.getPath());
        const double took = failed ? -1 : seconds(start);
        if (write(report[1], &took, sizeof took) != sizeof took) _exit(2);
        _exit(failed ? 1 : 0);
    }
    close(report[1]);
    Run run;
    if (read(report[0], &run.seconds, sizeof run.seconds) != sizeof run.seconds) run.seconds = -1;
    close(report[0]);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    run.peakKb = usage.ru_maxrss;
    return run;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_generate DIR [RAW_MB]\n");
        return 64;
    }
    const std::string dir = std::filesystem::absolute(argv[1]);
    benchRequireDirectory("bench_generate", dir);
    const long rawMb = argc > 2 ? std::atol(argv[2]) : 670;
    benchJobResultsSettings(dir);

    const long sizes[2] = {rawMb / 10, rawMb};
    Run runs[2];
    double cat = 0, catSync = 0;
    for (int s = 0; s < 2; ++s) {
        const std::string list = makeRawFiles(dir + "/idx", s + 1, sizes[s]);
        // Written out first, so that neither side pays for the other's data.
        bestOfRuns("bench_generate", "sync -f '" + dir + "'", 1);
        const std::string out = "'" + dir + "/cat.out'";
        cat = bestOfRuns("bench_generate", "cat" + list + " > " + out + " && rm " + out, 1);
        // generateFile syncs its output before it puts it in place: so does this one.
        catSync = bestOfRuns("bench_generate", "cat" + list + " > " + out + " && sync " + out + " && rm " + out, 1);
        bestOfRuns("bench_generate", "sync -f '" + dir + "'", 1);
        runs[s] = generateInChild(s + 1);
        std::printf("generateFile of %d raw files (%ld MB): %.3f s%s; cat %.3f s (ratio %.2f); cat + sync %.3f s "
                    "(ratio %.2f); peak resident %ld KB\n",
                    kRawFiles, sizes[s], runs[s].seconds, runs[s].seconds < 0 ? " FAILED" : "", cat,
                    runs[s].seconds / cat, catSync, runs[s].seconds / catSync, runs[s].peakKb);
    }
    const bool failed = runs[0].seconds < 0 || runs[1].seconds < 0;
    benchSummaryRow("generateFile of 8 raw files, with map",
                    benchText("%.3f s (%ld MB)%s", runs[1].seconds, rawMb, failed ? " FAILED" : ""),
                    benchText("cat + sync %.3f s", catSync), runs[1].seconds / catSync, "<= 1.2");
    benchSummaryRow("generateFile peak memory", benchText("%ld KB at %ld MB", runs[1].peakKb, sizes[1]),
                    benchText("%ld KB at %ld MB", runs[0].peakKb, sizes[0]),
                    static_cast<double>(runs[1].peakKb) / static_cast<double>(runs[0].peakKb ? runs[0].peakKb : 1),
                    "flat (~1)");
    return failed ? 1 : 0;
}
