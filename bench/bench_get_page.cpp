// Serving a page, against the standard tools on the same data:
//   bench_get_page DIR [LINES]     (default 10000000)
// P1: getPage of 50 lines at line 0.9 * LINES of a LINES-line results file (with its map),
//     against `tail -n +K | head -50` and `sed -n 'K,+49p;Kq'`. Generating a results file from
//     raw files: bench_generate.
// DIR receives the settings, the job directories and the data; it is left for the caller.
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "BenchCommon.h"

#include "JobResults/LineMap.h"
#include "JobResults/RetrieveResults.h"

extern char** environ;

namespace {
using Clock = std::chrono::steady_clock;
constexpr unsigned long kTalCell = 2;

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

double timeShell(const std::string& command) {
    auto start = Clock::now();
    pid_t pid;
    const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
    if (posix_spawnp(&pid, "sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return seconds(start);
}

// Results lines of about 85 bytes and their map, written in large blocks.
void makeResults(const std::string& dir, long lines) {
    std::filesystem::create_directories(dir);
    FILE* state = std::fopen((dir + "/State").c_str(), "w");
    std::fputs("0\r\n1700000000    \r\n", state);
    std::fclose(state);
    FILE* text = std::fopen((dir + "/backup.out").c_str(), "w");
    FILE* map = std::fopen((dir + "/1.map").c_str(), "w");
    std::vector<char> textBuf(1 << 20), mapBuf(1 << 20);
    setvbuf(text, textBuf.data(), _IOFBF, textBuf.size());
    setvbuf(map, mapBuf.data(), _IOFBF, mapBuf.size());
    uint64_t offset = 0;
    char line[128];
    for (long i = 1; i <= lines; ++i) {
        const int n = std::snprintf(line, sizeof line, "/data/volume%02ld/projects/file%09ld.dat 2026-12-06 17:00:00 %8ld bytes 1\r\n",
                                    i % 50, i, (i * 7919) % 100000000);
        unsigned char entry[kMapEntrySize];
        encodeMapEntry(offset, entry);
        std::fwrite(entry, 1, kMapEntrySize, map);
        std::fwrite(line, 1, static_cast<size_t>(n), text);
        offset += static_cast<uint64_t>(n);
    }
    std::fclose(text);
    std::fclose(map);
}

double timePage(RetrieveResults& reader, long lineNumber, size_t* linesSent) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return -1;
    size_t received = 0;
    std::thread drain([&] {
        char sink[65536];
        ssize_t n;
        while ((n = ::read(ends[1], sink, sizeof sink)) > 0) received += static_cast<size_t>(n);
    });
    CYuSocket socket(ends[0]);
    auto start = Clock::now();
    const bool failed = reader.getPage(1, lineNumber, 50, &socket);
    const double took = seconds(start);
    ::shutdown(ends[0], SHUT_WR);
    drain.join();
    ::close(ends[0]);
    ::close(ends[1]);
    *linesSent = received;
    return failed ? -1 : took;
}
}  // namespace

int main(int argc, char** argv) {
    // The peak memory run: one page of job JOB's file at line AT; the settings are the parent's.
    if (argc == 4 && std::string(argv[1]) == "--peak") {
        RetrieveResults reader(kTalCell, std::atol(argv[2]), kResultsBackup, "client1");
        size_t sent = 0;
        if (timePage(reader, std::atol(argv[3]), &sent) < 0 || sent == 0) return 1;
        std::printf("%ld\n", benchOwnPeakKiB());
        return 0;
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_get_page DIR [LINES]\n");
        return 64;
    }
    const std::string dir = std::filesystem::absolute(argv[1]);
    benchRequireDirectory("bench_get_page", dir);
    const long lines = argc > 2 ? std::atol(argv[2]) : 10000000;
    benchJobResultsSettings(dir);

    // P1
    const std::string pageDir = dir + "/idx/KR_JobResults/2/0/1";
    makeResults(pageDir, lines);
    const long at = lines / 10 * 9;
    RetrieveResults reader(kTalCell, 1, kResultsBackup, "client1");
    size_t bytes = 0;
    timePage(reader, at, &bytes);  // the first page pays for the buffers' first touch
    double page = 1e9;
    for (int i = 0; i < 20; ++i) page = std::min(page, timePage(reader, at, &bytes));
    const std::string file = pageDir + "/backup.out";
    timeShell("cat '" + file + "' > /dev/null");
    double tail = 1e9, sed = 1e9;
    for (int i = 0; i < 3; ++i) {
        tail = std::min(tail, timeShell("tail -n +" + std::to_string(at) + " '" + file + "' | head -50 > /dev/null"));
        sed = std::min(sed, timeShell("sed -n '" + std::to_string(at) + ",+49p;" + std::to_string(at + 49) + "q' '" +
                                      file + "' > /dev/null"));
    }
    std::printf("P1 getPage 50 lines at %ld of %ld: %.6f s (%zu reply bytes); tail|head %.4f s (x%.0f); sed -n %.4f s (x%.0f)\n",
                at, lines, page, bytes, tail, tail / page, sed, sed / page);
    // Its peak memory, against that of a file of a quarter of the lines.
    makeResults(dir + "/idx/KR_JobResults/2/0/3", lines / 4);
    const long peakSmall = benchPeakKiB({argv[0], "--peak", "3", std::to_string(lines / 4 / 10 * 9)});
    const long peakLarge = benchPeakKiB({argv[0], "--peak", "1", std::to_string(at)});
    std::filesystem::remove_all(dir + "/idx/KR_JobResults/2/0/3");
    benchPeakRow("a page of a file", peakSmall, benchText("%ld lines", lines / 4), peakLarge,
                 benchText("%ld lines", lines));
    benchSummaryRow("getPage, 50 lines deep in the file", benchText("%.3f ms", page * 1e3),
                    benchText("tail|head %.1f ms", tail * 1e3), page / tail, "keep");

    return 0;
}
