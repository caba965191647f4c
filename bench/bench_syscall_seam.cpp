// What the table of file-changing system calls (Platform/SysCalls.h) costs: the same small writes
// (the library's most frequent changing call: one buffer flush, one reserve line) made through
// the table and by the bare call, interleaved in rounds so that the machine's noise falls on both
// alike, and the ratio:
//   bench_syscall_seam DIRECTORY [WRITES PER ROUND, default 200000]
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Platform/SysCalls.h"

namespace {
double nowNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e9 + static_cast<double>(t.tv_nsec);
}

template <typename Write>
double timeWrites(int fd, long count, Write write) {
    static const char line[64] = "0123456789abcdef0123456789abcdef0123456789abcdef012345678901\r\n";
    if (lseek(fd, 0, SEEK_SET) < 0) return -1;
    const double start = nowNs();
    for (long i = 0; i < count; ++i)
        if (write(fd, line, sizeof line) != static_cast<ssize_t>(sizeof line)) return -1;
    return (nowNs() - start) / static_cast<double>(count);
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY [WRITES PER ROUND]\n", argv[0]);
        return 2;
    }
    const long count = argc > 2 ? std::atol(argv[2]) : 200000;
    const std::string path = std::string(argv[1]) + "/bench_syscall_seam.dat";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::perror(path.c_str());
        return 1;
    }
    std::vector<double> bare, seam;
    for (int round = 0; round < 7; ++round) {
        bare.push_back(timeWrites(fd, count, [](int f, const void* d, size_t n) { return ::write(f, d, n); }));
        seam.push_back(timeWrites(fd, count, [](int f, const void* d, size_t n) { return sys::write(f, d, n); }));
    }
    ::close(fd);
    ::unlink(path.c_str());
    if (*std::min_element(bare.begin(), bare.end()) < 0 || *std::min_element(seam.begin(), seam.end()) < 0) {
        std::fprintf(stderr, "a write failed\n");
        return 1;
    }
    std::sort(bare.begin(), bare.end());
    std::sort(seam.begin(), seam.end());
    const double b = bare[bare.size() / 2], s = seam[seam.size() / 2];
    std::printf("64-byte write: bare %.1f ns, through the table %.1f ns (medians of 7 rounds of %ld); ratio %.3f\n", b, s,
                count, s / b);
    return 0;
}
