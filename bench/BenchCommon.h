// What the benchmarks share: the check of their directory argument and the rows of the table that
// bench/run.sh prints at its end.
//
// One row of the table that bench/run.sh prints at its end. A benchmark prints its own detailed
// lines as before and, for each figure that has an aim, appends one row here: run.sh points
// VORNICA_BENCH_SUMMARY at a file and prints the rows it collected. Without the variable this
// does nothing, so a benchmark run by hand prints only its own lines.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

// A benchmark given a directory that is not there says so and ends, instead of failing later.
inline void benchRequireDirectory(const char* program, const std::string& dir) {
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "%s: %s is not a directory; give an existing directory for the data\n", program,
                     dir.c_str());
        std::exit(64);
    }
}

// The job-results benchmarks' settings: client client1, both caches under DIR/idx, the debug log
// in DIR.
inline void benchJobResultsSettings(const std::string& dir) {
    const std::string settings = dir + "/bench.ini";
    FILE* ini = std::fopen(settings.c_str(), "w");
    std::fprintf(ini, "[Focus]\nClientName=client1\n[MediaAgent]\nIndexCacheDirectory=%s/idx\n[Platform\\4]\nTalServerHostName=central\n[Platform]\nTalClient=1\n[~Machines\\client1]\nJobResultsDirectory=%s/idx\n",
                 dir.c_str(), dir.c_str());
    std::fclose(ini);
    setenv("VORNICA_CONFIG", settings.c_str(), 1);
    setenv("VORNICA_DEBUG_DIR", (dir + "/").c_str(), 1);
}

// work: what was timed; figure: its result with units; comparison: what it was compared with and
// that figure; ratio: figure over comparison (or the measure the aim is stated in); aim: the aim.
inline void benchSummaryRow(const std::string& work, const std::string& figure, const std::string& comparison,
                            double ratio, const std::string& aim) {
    const char* path = std::getenv("VORNICA_BENCH_SUMMARY");
    if (path == nullptr || *path == '\0') return;
    FILE* out = std::fopen(path, "a");
    if (out == nullptr) return;
    std::fprintf(out, "%s\t%s\t%s\t%.2f\t%s\n", work.c_str(), figure.c_str(), comparison.c_str(), ratio, aim.c_str());
    std::fclose(out);
}

// printf into a std::string, for the figure and comparison columns.
__attribute__((format(printf, 1, 2))) inline std::string benchText(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

// The best of runs runs of a shell command, in seconds; exits on a failed run.
inline double bestOfRuns(const char* bench, const std::string& command, int runs) {
    using Clock = std::chrono::steady_clock;
    double fastest = 1e9;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        if (std::system(command.c_str()) != 0) {
            std::fprintf(stderr, "%s: failed: %s\n", bench, command.c_str());
            std::exit(1);
        }
        fastest = std::min(fastest, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return fastest;
}

// The cleanup benchmarks' cache: 2 talCells x apps apps x 100 time stamps, 20,000 directories
// with the 100 apps by default, each with a State of a complete index.
inline void benchMakeCacheTree(const std::string& root, int apps = 100) {
    for (int cell = 1; cell <= 2; ++cell)
        for (int app = 1; app <= apps; ++app)
            for (int stamp = 0; stamp < 100; ++stamp) {
                const std::string dir = root + "/" + std::to_string(cell) + "/" + std::to_string(app) + "/" +
                                        std::to_string(1700000000 + stamp * 3600);
                std::filesystem::create_directories(dir);
                std::ofstream(dir + "/State") << "0\r\n" << 1700000000 + stamp * 3600 + 60 << "    \r\n";
            }
}

// Settings that put the job results cache under dir (dir/idx, the debug log and locks in dir/log),
// for the benchmarks that store results as a job does (client1, talCell 2, job 5 << 32 | 7).
inline void benchUseResultsCache(const std::string& dir) {
    std::filesystem::create_directories(dir + "/idx/KR_JobResults");
    std::filesystem::create_directories(dir + "/log");
    std::ofstream(dir + "/bench.ini") << "[Focus]\nClientName=client1\n[Platform]\nTalClient=1\n[~Machines\\client1]\n"
                                         "ClientId=42\nJobResultsDirectory=" << dir << "/idx\n";
    setenv("VORNICA_CONFIG", (dir + "/bench.ini").c_str(), 1);
    setenv("VORNICA_DEBUG_DIR", (dir + "/log/").c_str(), 1);
    setenv("VORNICA_LOCK_DIR", (dir + "/log").c_str(), 1);
}

// The peak resident memory of this process so far, in KiB: the high-water mark of its own
// address space (VmHWM). ru_maxrss would not do for a spawned child: exec carries the spawning
// process's peak over into it.
inline long benchOwnPeakKiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    long kib = -1;
    while (status >> key)
        if (key == "VmHWM:") {
            status >> kib;
            break;
        }
    return kib;
}

// Peak resident memory (KiB) of a fresh process that runs this benchmark with args: the
// benchmark runs itself in a mode that does only the work measured and prints
// benchOwnPeakKiB(), so that neither its data generation nor the tools it is compared with
// count. -1 when the run fails.
inline long benchPeakKiB(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    pid_t pid;
    const bool spawned = posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string text;
    char chunk[256];
    for (ssize_t n; spawned && (n = read(out[0], chunk, sizeof chunk)) > 0;) text.append(chunk, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    if (!spawned || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return std::atol(text.c_str());
}

// The table row of a peak memory measured at two sizes of the input: flat when the ratio of
// the larger size's peak to the smaller's stays near 1.
inline void benchPeakRow(const std::string& work, long smallKiB, const std::string& smallSize, long largeKiB,
                         const std::string& largeSize) {
    std::printf("peak memory, %s: %ld KiB at %s, %ld KiB at %s\n", work.c_str(), smallKiB, smallSize.c_str(), largeKiB,
                largeSize.c_str());
    benchSummaryRow("peak memory, " + work, benchText("%ld KiB at %s", largeKiB, largeSize.c_str()),
                    benchText("%ld KiB at %s", smallKiB, smallSize.c_str()),
                    smallKiB > 0 ? static_cast<double>(largeKiB) / static_cast<double>(smallKiB) : 0, "flat (~1)");
}
