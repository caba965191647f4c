#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <string>

#include "HelperCommand.h"
#include "Indexing/idxport/CXFile.h"
#include "Indexing/idxport/LockWait.h"
#include "Platform/MDLock.h"

namespace {
long long monotonicMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void restartingHandler(int) {}

void takeSignal(int signal) {
    struct sigaction own {};
    own.sa_handler = restartingHandler;
    own.sa_flags = SA_RESTART;
    sigaction(signal, &own, nullptr);
}
}  // namespace

// lock_wait PATH BUDGET_MS plain|blocked|taken-after|taken-before|named: waits for the exclusive
// lock of PATH for up to BUDGET_MS (named: for the named lock LOCKWAIT instead). blocked: the thread blocks the wait's signal; taken-after: the
// application handles it (restarting calls) after the library claimed it; taken-before: the
// application handles the signal VORNICA_LOCK_WAIT_SIGNAL names before the first wait. Prints
// "waiting <ms>", then "granted|timedout|failed <ms> blocks|polls" (monotonic clock).
HELPER_COMMAND(lock_wait) {
    const int fd = args.size() == 3 ? open(args[0].c_str(), O_RDWR | O_CLOEXEC) : -1;
    if (fd < 0) return 2;
    const std::string& how = args[2];
    if (how == "blocked") {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, boundedwait::tickSignal());
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
    } else if (how == "taken-after") {
        takeSignal(boundedwait::tickSignal());
    } else if (how == "taken-before") {
        setenv("VORNICA_LOCK_WAIT_SIGNAL", std::to_string(SIGRTMIN + 2).c_str(), 1);
        takeSignal(SIGRTMIN + 2);
    }
    const char* mode = boundedwait::waitsBlock() ? " blocks" : " polls";
    struct flock region {};
    region.l_type = F_WRLCK;
    region.l_whence = SEEK_SET;
    region.l_start = CXFile::kLockOffset;
    region.l_len = 1;
    unsigned long waited = 0;
    int error = 0;
    helperSay("waiting " + std::to_string(monotonicMs()));
    MDLock named("LOCKWAIT");
    const int got = how == "named" ? named.set(std::stoul(args[1])) ? 1 : 0
                                   : lockwait::take(fd, region, std::stoul(args[1]), waited, LockPacing{256, 200}, error);
    helperSay((got == 1 ? "granted " : got == 0 ? "timedout " : "failed ") + std::to_string(monotonicMs()) + mode);
    return 0;
}
