// Storing results with a map against `dd bs=1M` of the same bytes, and rebuilding the map of the
// stored file against `wc -l`, in one run:
//   bench_store_results DIR [LINES, default 10000000]
// The lines (about 85 bytes each, fixed seed) are generated into DIR/source first; putLine
// takes them from there, as dd copies them from there.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "BenchCommon.h"

#include "JobResults/LineMap.h"
#include "JobResults/StoreResults.h"

extern char** environ;

namespace {
using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

double cpuSeconds(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double ownCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return cpuSeconds(usage);
}

// Wall-clock seconds of the tool's run; cpu: its user + system seconds. On a machine others
// share the wall clock swings with their load, the processor time much less.
double timeTool(std::vector<std::string> args, double& cpu) {
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const auto start = Clock::now();
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    cpu = cpuSeconds(usage);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds(start) : -1;
}

void makeSource(const std::string& path, long lines) {
    FILE* out = std::fopen(path.c_str(), "wb");
    std::mt19937_64 random(20261206);
    static const char* kinds[] = {"FILE", "DIR", "LINK", "STREAM"};
    char line[256];
    for (long n = 1; n <= lines; ++n) {
        const int length = std::snprintf(line, sizeof line, "%ld\t%s\t/data/vol%u/projects/p%u/file_%016llx.dat\t%u\tOK\r\n",
                                         n, kinds[random() % 4], unsigned(random() % 16), unsigned(random() % 1000),
                                         static_cast<unsigned long long>(random()), unsigned(random() % 100000000));
        std::fwrite(line, 1, static_cast<size_t>(length), out);
    }
    std::fclose(out);
}

// Reads the source in large blocks and hands its first limit lines, each ended by a NUL where
// its CR stood, to take(text); returns how many it handed, -1 when take failed.
template <class Take>
long feedLines(const std::string& source, long limit, Take take) {
    FILE* in = std::fopen(source.c_str(), "rb");
    if (in == nullptr) return -1;
    std::vector<char> block(1 << 20);
    size_t kept = 0;
    long fed = 0;
    for (;;) {
        const size_t got = std::fread(block.data() + kept, 1, block.size() - kept, in);
        if (got == 0) break;
        char* at = block.data();
        char* const end = at + kept + got;
        for (char* lineEnd; fed < limit && (lineEnd = static_cast<char*>(std::memchr(at, '\r', static_cast<size_t>(end - at))));) {
            if (lineEnd + 1 >= end) break;  // its line feed is in the next block
            *lineEnd = '\0';
            if (!take(at)) {
                std::fclose(in);
                return -1;
            }
            ++fed;
            at = lineEnd + 2;
        }
        if (fed == limit) break;
        kept = static_cast<size_t>(end - at);
        std::memmove(block.data(), at, kept);
    }
    std::fclose(in);
    return fed;
}

// Stores the source's first limit lines: wall-clock seconds, and the processor's in cpu.
double timePutLine(const std::string& source, long& stored, long limit, double& cpu) {
    std::filesystem::remove_all(std::filesystem::path(source).parent_path() / "idx/KR_JobResults/2");
    sync();  // no writer meets the writeback of the one before
    const auto start = Clock::now();
    const double cpuStart = ownCpuSeconds();
    StoreResults store(2, (int64_t(5) << 32) | 7, true, "client1");
    if (store.openFile(kResultsBackup, true, true)) return -1;
    stored = feedLines(source, limit, [&](const char* line) { return !store.putLine(line, false); });
    if (stored < 0 || store.closeFile()) return -1;
    cpu = ownCpuSeconds() - cpuStart;
    return seconds(start);
}

// The least a writer of this format fed line by line does: the same feeding, each line's end
// found once (the lines come as C strings), the line and its CR LF copied into a buffer of the
// same size and its map entry made, the lines and then their map written every 4096 lines,
// into two new files; no check of any kind. With feedOnly, the feeding alone.
double timeFloor(const std::string& dir, long limit, bool feedOnly) {
    std::remove((dir + "/floor.out").c_str());
    std::remove((dir + "/floor.map").c_str());
    sync();
    const auto start = Clock::now();
    const int data = open((dir + "/floor.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int map = open((dir + "/floor.map").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::vector<char> buffer(128 * 1024);
    std::vector<unsigned char> entries(4096 * kMapEntrySize);
    size_t used = 0, pending = 0;
    uint64_t offset = 0;
    auto writeData = [&] { return write(data, buffer.data(), used) == static_cast<ssize_t>(used) && ((used = 0), true); };
    long fed = feedLines(dir + "/source", limit, [&](const char* line) {
        if (feedOnly) return true;
        const size_t length = std::strlen(line);
        if (used + length + 2 > buffer.size() && !writeData()) return false;
        std::memcpy(buffer.data() + used, line, length);
        std::memcpy(buffer.data() + used + length, "\r\n", 2);
        used += length + 2;
        encodeMapEntry(offset, entries.data() + kMapEntrySize * pending++);
        offset += length + 2;
        if (pending < 4096) return true;
        const size_t bytes = pending * kMapEntrySize;
        pending = 0;
        return writeData() && write(map, entries.data(), bytes) == static_cast<ssize_t>(bytes);
    });
    const bool written = fed == limit && writeData() &&
                         write(map, entries.data(), pending * kMapEntrySize) == static_cast<ssize_t>(pending * kMapEntrySize);
    close(data);
    close(map);
    return data >= 0 && map >= 0 && written ? seconds(start) : -1;
}

class MapBuilder : public StoreResults {
public:
    MapBuilder() : StoreResults(2, (int64_t(5) << 32) | 7, false, "client1") {}
    double time() {
        if (computeFileNames(kResultsBackup)) return -1;
        std::remove(mapName_);
        const auto start = Clock::now();
        if (generateMap()) return -1;
        resultsFile_.close();
        mapFile_.close();
        return seconds(start);
    }
};
}  // namespace

int main(int argc, char** argv) {
    // The peak memory run: the settings and the source are the parent's.
    if (argc == 4 && std::strcmp(argv[1], "--peak") == 0) {
        long stored = 0;
        double cpu = 0;
        if (timePutLine(std::string(argv[2]) + "/source", stored, std::atol(argv[3]), cpu) < 0) return 1;
        std::printf("%ld\n", benchOwnPeakKiB());
        return 0;
    }
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: bench_store_results DIR [LINES]\n");
        return 64;
    }
    const std::string dir = argv[1];
    benchRequireDirectory("bench_store_results", dir);
    const long lines = argc == 3 ? std::atol(argv[2]) : 10000000;
    benchUseResultsCache(dir);

    const std::string source = dir + "/source";
    makeSource(source, lines);
    const std::string results = dir + "/idx/KR_JobResults/2/5/7/backup.out";
    const double bytes = static_cast<double>(std::filesystem::file_size(source));
    double dd = 1e9, put = 1e9, floor = 1e9, feed = 1e9, wc = 1e9, map = 1e9, ddCpu = 1e9, putCpu = 1e9, cpu = 0;
    long stored = 0;
    for (int run = 0; run < 3; ++run) {
        // Each copy makes a new file, as putLine does: cutting the last run's copy would add its
        // truncation, and the writeback ext4 starts at the close of a file cut to nothing.
        std::filesystem::remove(dir + "/dd.out");
        sync();
        dd = std::min(dd, timeTool({"dd", "if=" + source, "of=" + dir + "/dd.out", "bs=1M"}, cpu));
        ddCpu = std::min(ddCpu, cpu);
        put = std::min(put, timePutLine(source, stored, lines, cpu));
        putCpu = std::min(putCpu, cpu);
        floor = std::min(floor, timeFloor(dir, lines, false));
        feed = std::min(feed, timeFloor(dir, lines, true));
    }
    std::remove((dir + "/floor.out").c_str());
    std::remove((dir + "/floor.map").c_str());
    std::filesystem::remove(dir + "/dd.out");
    const long peakSmall = benchPeakKiB({argv[0], "--peak", dir, std::to_string(lines / 4)});
    const long peakLarge = benchPeakKiB({argv[0], "--peak", dir, std::to_string(lines)});
    for (int run = 0; run < 3; ++run) {
        wc = std::min(wc, timeTool({"wc", "-l", results}, cpu));
        map = std::min(map, MapBuilder().time());
    }
    std::printf("P2 putLine with map: %ld lines, %.0f MB in %.3f s; dd bs=1M %.3f s; ratio %.2f (aim <= 2)\n", stored,
                bytes / 1e6, put, dd, put / dd);
    std::printf("   processor time (user + system): putLine %.3f s; dd %.3f s; ratio %.2f\n", putCpu, ddCpu,
                putCpu / ddCpu);
    std::printf("   the least line-by-line writer of the same lines and map (same feeding, no checks): %.3f s, "
                "ratio to dd %.2f; putLine / it %.2f; the feeding alone (reading, splitting) %.3f s, putLine less "
                "it %.3f s, ratio to dd %.2f\n",
                floor, floor / dd, put / floor, feed, put - feed, (put - feed) / dd);
    std::printf("P3 generateMap: %.3f s; wc -l %.3f s; ratio %.2f (aim <= 2)\n", map, wc, map / wc);
    benchSummaryRow("putLine with map", benchText("%.3f s (%.0f MB)", put, bytes / 1e6), benchText("dd bs=1M %.3f s", dd),
                    put / dd, "<= 2");
    benchSummaryRow("least line-by-line writer, same lines and map", benchText("%.3f s", floor),
                    benchText("dd bs=1M %.3f s; putLine / it %.2f", dd, put / floor), floor / dd, "information (the floor)");
    benchPeakRow("storing lines", peakSmall, benchText("%ld lines", lines / 4), peakLarge, benchText("%ld lines", lines));
    benchSummaryRow("generateMap", benchText("%.3f s", map), benchText("wc -l %.3f s", wc), map / wc, "keep");
    return put > 0 && map > 0 ? 0 : 1;
}
