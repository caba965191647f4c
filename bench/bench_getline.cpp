// getLine over a results file against `wc -l` on the same file, in one run:
//   bench_getline PATH
// The file is read once first so that both measure reading from the page cache.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "BenchCommon.h"

#include "Indexing/idxport/CXFile.h"

extern char** environ;

namespace {
using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

double timeWc(const char* path) {
    auto start = Clock::now();
    pid_t pid;
    char* argv[] = {const_cast<char*>("wc"), const_cast<char*>("-l"), const_cast<char*>(path), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (posix_spawnp(&pid, "wc", &actions, nullptr, argv, environ) != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return seconds(start);
}

double timeGetLine(const char* path, unsigned bufSize, long& lines) {
    auto start = Clock::now();
    CXFile file;
    if (file.setBufSize(bufSize) != 0 || file.open(path, sfReadOnly) != 0) return -1;
    std::vector<char> line(102400);
    lines = 0;
    int rc;
    while ((rc = file.getLine(line.data(), line.size())) == 1) ++lines;
    return rc == 0 ? seconds(start) : -1;
}

double best(int runs, double (*fn)(const char*), const char* path) {
    double least = 1e9;
    for (int i = 0; i < runs; ++i) least = std::min(least, fn(path));
    return least;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_getline PATH\n");
        return 64;
    }
    const char* path = argv[1];
    timeWc(path);  // warm the page cache
    double wc = best(3, timeWc, path);
    for (unsigned bufSize : {1024u, 65536u, 1048576u}) {
        long lines = 0;
        double least = 1e9;
        for (int i = 0; i < 3; ++i) least = std::min(least, timeGetLine(path, bufSize, lines));
        std::printf("getLine buffer %7u: %ld lines in %.3f s; wc -l %.3f s; ratio %.2f\n", bufSize, lines, least, wc,
                    least / wc);
        if (bufSize == 1048576u)
            benchSummaryRow("getLine, 1 MiB buffer", benchText("%.3f s", least), benchText("wc -l %.3f s", wc),
                            least / wc, "keep");
    }
    return 0;
}
