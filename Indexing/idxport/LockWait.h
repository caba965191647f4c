// Waiting for a byte-range lock (an open-file-description lock) that another open file holds.
//
// A wait blocks in the kernel (F_OFD_SETLKW), so that the lock passes to a waiter within a
// fraction of a millisecond of its release, in the order the kernel wakes its waiters rather than
// to whoever happens to poll at the right moment. A per-thread timer interrupts the blocked call
// every kTickMs with a private real-time signal, whose handler does nothing and does not restart
// the call, so that the wait ends at its budget.
//
// The signal is claimed once per process, only while its disposition is the default: a process
// that handles it itself keeps it, and its waits poll instead (tries paced as LockPacing says).
// So does a thread that blocks the signal, any wait while the platform sleep is replaced by a test
// hook (the hook then decides how long each step of the wait takes), and every wait when
// VORNICA_LOCK_WAIT_SIGNAL is "off". That variable may also name another signal number between
// SIGRTMIN and SIGRTMAX; it is read once, at the first wait that has to wait.
#pragma once

struct flock;

// How a wait that polls paces its tries: 1 ms, doubling to 4 ms, steps that hold while less than
// briefMs has been waited (a lock held briefly is followed within a few milliseconds); after that
// the steps double up to longStepMs. Every try falls on a multiple of the current step, so that the
// last try of a budget comes at the budget exactly.
struct LockPacing {
    unsigned long briefMs;
    unsigned long longStepMs;
};

namespace lockwait {
constexpr unsigned long kTickMs = 50;

// Takes the lock region describes (l_type F_RDLCK or F_WRLCK) on fd, waiting while the budget,
// less what waitedMs says was waited already, lasts; waitedMs grows by the time this call waited.
// 1 granted, 0 timed out (another open file still holds the lock), -1 failed with error set.
int take(int fd, struct flock& region, unsigned long budgetMs, unsigned long& waitedMs, const LockPacing& pacing,
         int& error);

// The signal that interrupts blocked waits, 0 when waits poll (not claimed, or switched off).
int tickSignal();
// True when a wait of the calling thread would block now rather than poll.
bool waitsBlock();
}  // namespace lockwait
