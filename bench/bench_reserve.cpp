// Reserve-file transactions per second with 1, 4 and 16 processes, every request going to the
// file, and how long a transaction waits for the file's lock:
//   bench_reserve DIRECTORY [TRANSACTIONS PER PROCESS, default 500]
// The floor, for one process: the same file work (open, exclusive OFD lock, read all, write at 0,
// cut, sync, close) done with bare system calls, and the ratio to it.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchCommon.h"

#include "Indexing/cacheFs/JobResultsCacheFs.h"
#include "Indexing/idxport/CXFile.h"

namespace {
double nowMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

void sleepMs(unsigned long ms) {
    timespec rest{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&rest, &rest) != 0) {
    }
}

// One process's transactions: waits for the start byte, then writes one transaction time (ms)
// per transaction to results. The lock wait is the part of it beyond the file work; the lock is
// waited for in the kernel, out of the platform sleep's sight, so the whole time stands for it.
[[noreturn]] void worker(int start, int results, int transactions) {
    JobResultsCacheFs cache(1, TCacheIndex);
    cache.initialize(nullptr);
    char go;
    if (!cache.isInitialized() || read(start, &go, 1) != 1) _exit(2);
    std::vector<double> waits;
    for (int i = 0; i < transactions; ++i) {
        cache.setReserveBuffer(0);  // every request goes to the file
        const double began = nowMs();
        if (cache.reserve(1000000 + static_cast<uint64_t>(i) * 4096, 0, 0, 0) != 1) _exit(3);
        waits.push_back(nowMs() - began);
    }
    // Pieces of at most PIPE_BUF bytes: the workers' writes then never interleave inside one.
    for (size_t at = 0; at < waits.size(); at += 512) {
        const size_t bytes = std::min<size_t>(512, waits.size() - at) * sizeof(double);
        if (write(results, waits.data() + at, bytes) != static_cast<ssize_t>(bytes)) _exit(4);
    }
    _exit(0);
}

// Runs `processes` workers at once; prints the rate and the lock waits.
struct RunFigures {
    double rate = 0;
    double medianWaitMs = 0;
    double worstWaitMs = 0;
};

RunFigures run(int processes, int transactions) {
    int start[2], results[2];
    if (pipe(start) != 0 || pipe(results) != 0) exit(1);
    std::vector<pid_t> children;
    for (int p = 0; p < processes; ++p) {
        const pid_t child = fork();
        if (child == 0) {
            close(start[1]);
            close(results[0]);
            worker(start[0], results[1], transactions);
        }
        children.push_back(child);
    }
    close(start[0]);
    close(results[1]);
    sleepMs(200);  // every worker initialized and waiting
    const double began = nowMs();
    if (write(start[1], std::string(static_cast<size_t>(processes), 'g').data(), static_cast<size_t>(processes)) !=
        processes)
        exit(1);
    std::vector<double> waits(static_cast<size_t>(processes) * static_cast<size_t>(transactions));
    size_t got = 0;
    const size_t want = waits.size() * sizeof(double);
    while (got < want) {
        const ssize_t n = read(results[0], reinterpret_cast<char*>(waits.data()) + got, want - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    const double elapsed = nowMs() - began;
    int failed = 0;
    for (pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        failed += !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    }
    close(start[1]);
    close(results[0]);
    if (failed != 0 || got < want) {
        std::fprintf(stderr, "bench_reserve: %d of %d processes failed\n", failed, processes);
        exit(1);
    }
    std::sort(waits.begin(), waits.end());
    const double rate = waits.size() / (elapsed / 1e3);
    std::printf("%2d process%s: %6zu transactions, %7.0f per second; transaction (lock wait included) median %.2f ms, 90%% %.2f ms, max %.1f ms\n",
                processes, processes == 1 ? "  " : "es", waits.size(), rate, waits[waits.size() / 2],
                waits[waits.size() * 9 / 10], waits.back());
    std::fflush(stdout);
    return {rate, waits[waits.size() / 2], waits.back()};
}

// The same file work as one transaction, with bare system calls.
double floorRate(const std::string& path, int transactions) {
    const double began = nowMs();
    std::string text(4096, '\0');
    for (int i = 0; i < transactions; ++i) {
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        struct flock byte {};
        byte.l_type = F_WRLCK;
        byte.l_start = CXFile::kLockOffset;
        byte.l_len = 1;
        if (fd < 0 || fcntl(fd, F_OFD_SETLK, &byte) != 0) exit(1);
        const ssize_t n = pread(fd, text.data(), text.size(), 0);
        const std::string line = "42:1/2/3 " + std::to_string(3417 + i) + " 1700000000\r\n";
        if (n < 0 || pwrite(fd, line.data(), line.size(), 0) != static_cast<ssize_t>(line.size()) ||
            ftruncate(fd, static_cast<off_t>(line.size())) != 0 || fsync(fd) != 0)
            exit(1);
        close(fd);
    }
    return transactions / ((nowMs() - began) / 1e3);
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_reserve DIRECTORY [TRANSACTIONS PER PROCESS]\n");
        return 64;
    }
    const std::string dir = argv[1];
    benchRequireDirectory("bench_reserve", dir);
    const int transactions = argc > 2 ? std::atoi(argv[2]) : 500;
    mkdir((dir + "/idx").c_str(), 0755);
    mkdir((dir + "/log").c_str(), 0755);
    mkdir((dir + "/locks").c_str(), 0755);
    const std::string config = dir + "/instance.ini";
    FILE* ini = std::fopen(config.c_str(), "w");
    if (ini == nullptr) return 1;
    std::fprintf(ini, "[Focus]\nClientName=client1\n[~Machines\\client1]\nClientId=42\n[MediaAgent]\n"
                      "sDISABLERESERVE=no\nIndexCacheDirectory=%s/idx\n", dir.c_str());
    std::fclose(ini);
    setenv("VORNICA_CONFIG", config.c_str(), 1);
    setenv("VORNICA_DEBUG_DIR", (dir + "/log/").c_str(), 1);
    setenv("VORNICA_LOCK_DIR", (dir + "/locks").c_str(), 1);

    std::printf("reserve file transactions (open, lock, read, measure, rewrite, sync), each request to the file:\n");
    const RunFigures one = run(1, transactions);
    const double floor = floorRate(dir + "/floor", transactions);  // right after: the machine is shared and noisy
    std::printf("the same file work with bare system calls, 1 process: %.0f per second; ratio %.2f\n", floor,
                floor / one.rate);
    run(4, transactions);
    const RunFigures sixteen = run(16, transactions);
    benchSummaryRow("reserve file, 16 processes", benchText("%.0f/s, worst transaction %.1f ms", sixteen.rate, sixteen.worstWaitMs),
                    benchText("1 process %.0f/s", one.rate), sixteen.rate / one.rate, ">= 0.5; worst wait <= 50 ms");
    benchSummaryRow("reserve file transaction with its lock wait, 16 processes", benchText("median %.2f ms", sixteen.medianWaitMs), "-",
                    sixteen.medianWaitMs, "information (the handoff aim is the lock handoff row's)");
    return 0;
}
