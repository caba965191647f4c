#include "Platform/BoundedWait.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "Platform/EvDebug.h"
#include "Platform/PlatformSleep.h"

namespace {
constexpr unsigned long kBriefStepMs = 4;

unsigned long nextStep(unsigned long step, unsigned long waited, const LockPacing& pacing) {
    const unsigned long cap = waited < pacing.briefMs ? kBriefStepMs : pacing.longStepMs;
    return step == 0 ? 1 : std::min(step * 2, std::max(step, cap));
}

unsigned long long nowMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<unsigned long long>(t.tv_sec) * 1000 + static_cast<unsigned long long>(t.tv_nsec) / 1000000;
}

// Only interrupts: the blocked call returns EINTR, and the wait looks at its budget.
void onTick(int) {}

// The signal the process's waits use: claimed at the first call, and only from the default
// disposition, so that a handler of the application is never replaced.
int claimSignal() {
    const char* setting = getenv("VORNICA_LOCK_WAIT_SIGNAL");
    int signal = SIGRTMAX - 3;
    if (setting != nullptr && *setting != '\0') {
        if (strcmp(setting, "off") == 0) return 0;
        char* end = nullptr;
        const long chosen = strtol(setting, &end, 10);
        if (*end != '\0' || chosen < SIGRTMIN || chosen > SIGRTMAX) {
            EvDebug().Debug("lock wait", "ERROR: VORNICA_LOCK_WAIT_SIGNAL '%s' is neither off nor a signal from %d to %d: "
                            "lock waits poll\n", setting, SIGRTMIN, SIGRTMAX);
            return 0;
        }
        signal = static_cast<int>(chosen);
    }
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) != 0 || (current.sa_flags & SA_SIGINFO) != 0 ||
        current.sa_handler != SIG_DFL)
        return 0;
    struct sigaction mine {};
    mine.sa_handler = onTick;
    sigemptyset(&mine.sa_mask);
    mine.sa_flags = 0;  // no SA_RESTART: the blocked call must return
    return sigaction(signal, &mine, nullptr) == 0 ? signal : 0;
}

// Still this library's handler (the application may have taken the signal since: its handler
// could restart the call and leave the wait blocked past its budget), and delivered to this thread.
bool usable(int signal) {
    if (signal == 0) return false;
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) != 0 || (current.sa_flags & (SA_SIGINFO | SA_RESTART)) != 0 ||
        current.sa_handler != onTick)
        return false;
    sigset_t blocked;
    return pthread_sigmask(SIG_BLOCK, nullptr, &blocked) == 0 && sigismember(&blocked, signal) == 0;
}

timespec asTimespec(unsigned long ms) {
    return {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
}

// A timer that sends the signal to the calling thread only; deleted with the object, on every path.
class TickTimer {
public:
    explicit TickTimer(int signal) {
        sigevent event {};
        event.sigev_notify = SIGEV_THREAD_ID;
        event.sigev_signo = signal;
        event._sigev_un._tid = static_cast<pid_t>(syscall(SYS_gettid));
        made_ = timer_create(CLOCK_MONOTONIC, &event, &id_) == 0;
    }
    ~TickTimer() {
        if (made_) timer_delete(id_);
    }
    TickTimer(const TickTimer&) = delete;
    TickTimer& operator=(const TickTimer&) = delete;

    bool made() const { return made_; }
    // First signal after firstMs, then every tick: a signal that lands before the thread blocks
    // is followed by another, so that no wait stays blocked past its budget.
    bool arm(unsigned long firstMs) {
        itimerspec spec{};
        spec.it_value = asTimespec(std::max(firstMs, 1UL));
        spec.it_interval = asTimespec(boundedwait::kTickMs);
        return timer_settime(id_, 0, &spec, nullptr) == 0;
    }

private:
    timer_t id_{};
    bool made_ = false;
};

// One try that does not block; a try interrupted by a signal is made again.
int tryNow(const boundedwait::Attempt& attempt, int& error) {
    int got;
    while ((got = attempt(false, error)) == 0 && error == EINTR) {
    }
    return got;
}
}  // namespace

namespace boundedwait {
int tickSignal() {
    static const int signal = claimSignal();  // thread-safe, once per process
    return signal;
}

bool waitsBlock() { return !platformSleepHooked() && usable(tickSignal()); }

int wait(const Attempt& attempt, unsigned long budgetMs, unsigned long& waitedMs, const LockPacing& pacing, int& error) {
    int got = tryNow(attempt, error);
    if (got != 0 || waitedMs >= budgetMs) return got;
    if (waitsBlock()) {
        TickTimer timer(tickSignal());
        const unsigned long long start = nowMs();
        const unsigned long left = budgetMs - waitedMs;
        while (timer.made()) {
            const unsigned long spent = static_cast<unsigned long>(std::min<unsigned long long>(nowMs() - start, left));
            if (spent >= left) {
                waitedMs = budgetMs;
                return 0;
            }
            if (!timer.arm(left - spent)) break;  // the rest of the budget polls
            got = attempt(true, error);
            if (got != 0) {
                waitedMs += std::min<unsigned long long>(nowMs() - start, left);
                return got;
            }
            if (error != EINTR) break;  // a refusal where a wait was asked for: poll rather than spin
        }
        waitedMs += std::min<unsigned long long>(nowMs() - start, left);
        if (waitedMs >= budgetMs) return 0;
    }
    // Polling: the same budget, counted in the steps asked of the platform sleep.
    for (unsigned long step = 0;;) {
        step = nextStep(step, waitedMs, pacing);
        const unsigned long sleep = std::min(pacing.onGrid ? step - waitedMs % step : step, budgetMs - waitedMs);
        YUSLEEP(sleep);
        waitedMs += sleep;
        got = tryNow(attempt, error);
        if (got != 0 || waitedMs >= budgetMs) return got;
    }
}
}  // namespace boundedwait
