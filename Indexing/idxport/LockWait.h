// Waiting for an open-file-description lock that another open file holds: in the kernel, up to a
// time limit (Platform/BoundedWait.h says how).
#pragma once

#include "Platform/BoundedWait.h"

struct flock;

namespace lockwait {
// Takes the lock region describes (l_type F_RDLCK or F_WRLCK) on fd, waiting while the budget,
// less what waitedMs says was waited already, lasts; waitedMs grows by the time this call waited.
// 1 granted, 0 timed out (another open file still holds the lock), -1 failed with error set.
int take(int fd, struct flock& region, unsigned long budgetMs, unsigned long& waitedMs, const LockPacing& pacing,
         int& error);
}  // namespace lockwait
