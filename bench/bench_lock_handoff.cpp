// The time from one process's unlock of a State-style lock to another process holding it, and
// the cost of an uncontended lock and unlock:
//   bench_lock_handoff DIRECTORY [ROUNDS]
// A waiter retries every 200 ms, so a handoff takes up to that long by design.
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Indexing/idxport/CXFile.h"

namespace {
long long nowNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_lock_handoff DIRECTORY [ROUNDS]\n");
        return 64;
    }
    const std::string path = std::string(argv[1]) + "/State";
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 20;
    {
        CXFile create;
        create.open(path.c_str(), sfOpenOrCreate);
    }

    CXFile mine;
    mine.open(path.c_str(), sfReadWrite);
    const int uncontended = 100000;
    long long start = nowNs();
    for (int i = 0; i < uncontended; ++i) {
        mine.lock(sfLockExclusive, 0);
        mine.unlock();
    }
    std::printf("uncontended lock+unlock: %.2f us\n", (nowNs() - start) / 1000.0 / uncontended);
    std::fflush(stdout);

    int toChild[2], fromChild[2];
    if (pipe(toChild) != 0 || pipe(fromChild) != 0) return 1;
    pid_t child = fork();
    if (child == 0) {
        close(toChild[1]);
        close(fromChild[0]);
        CXFile theirs;
        theirs.open(path.c_str(), sfReadWrite);
        char go;
        while (read(toChild[0], &go, 1) == 1) {
            if (theirs.lock(sfLockExclusive, 10) != 1) _exit(1);
            long long got = nowNs();
            theirs.unlock();
            if (write(fromChild[1], &got, sizeof got) != sizeof got) _exit(1);
        }
        _exit(0);
    }
    close(toChild[0]);
    close(fromChild[1]);
    double total = 0, worst = 0;
    for (int i = 0; i < rounds; ++i) {
        mine.lock(sfLockExclusive, 0);
        if (write(toChild[1], "g", 1) != 1) return 1;
        usleep(30000 + (i * 7919) % 200000);  // let the waiter poll a varying while
        long long released = nowNs();
        mine.unlock();
        long long got = 0;
        if (read(fromChild[0], &got, sizeof got) != sizeof got) return 1;
        double ms = (got - released) / 1e6;
        total += ms;
        worst = std::max(worst, ms);
    }
    close(toChild[1]);
    waitpid(child, nullptr, 0);
    std::printf("handoff between processes over %d rounds: mean %.1f ms, worst %.1f ms (retry interval 200 ms)\n",
                rounds, total / rounds, worst);
    return 0;
}
