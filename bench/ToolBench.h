// What the administration tool's benchmarks share: timing whole processes.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

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
