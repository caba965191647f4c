// Waiting for a lock that another process holds (a byte-range lock, a flock), up to a time limit.
//
// A wait blocks in the kernel, so that the lock passes to a waiter within a fraction of a
// millisecond of its release, in the order the kernel wakes its waiters rather than to whoever
// happens to poll at the right moment. A timer of the waiting thread interrupts the blocked call
// at the end of the budget with a private real-time signal, whose handler does nothing and does
// not restart the call, and again every kTickMs after that (a signal that lands just before the
// thread blocks is followed by another), so that the wait ends at its budget.
//
// The signal is claimed once per process, only while its disposition is the default: a process
// that handles it itself keeps it, and its waits poll instead (tries paced as LockPacing says).
// So does a thread that blocks the signal, any wait while the platform sleep is replaced by a test
// hook (the hook then decides how long each step of the wait takes), and every wait when
// VORNICA_LOCK_WAIT_SIGNAL is "off". That variable may also name another signal number between
// SIGRTMIN and SIGRTMAX; it is read once, at the first wait that has to wait.
#pragma once

#include <functional>

// How a wait that polls paces its tries: 1 ms, doubling to 4 ms, steps that hold while less than
// briefMs has been waited (a lock held briefly is followed within a few milliseconds); after that
// the steps double up to longStepMs. onGrid: every try falls on a multiple of the current step, so
// that a long wait keeps its grid. Either way the last try of a budget comes at the budget exactly.
struct LockPacing {
    unsigned long briefMs;
    unsigned long longStepMs;
    bool onGrid = true;
};

namespace boundedwait {
constexpr unsigned long kTickMs = 50;

// One try of the lock. block: the call may wait in the kernel until the lock is granted or a
// signal interrupts it. 1 granted, 0 not granted (held by another, or interrupted: error EINTR),
// -1 failed; error says why unless granted.
using Attempt = std::function<int(bool block, int& error)>;

// Tries at once, then waits while the budget, less what waitedMs says was waited already, lasts;
// waitedMs grows by the time this call waited. 1 granted, 0 timed out, -1 failed with error set.
int wait(const Attempt& attempt, unsigned long budgetMs, unsigned long& waitedMs, const LockPacing& pacing,
         int& error);

// The signal that interrupts blocked waits, 0 when waits poll (not claimed, or switched off).
int tickSignal();
// True when a wait of the calling thread would block now rather than poll.
bool waitsBlock();
}  // namespace boundedwait
