#include "Indexing/idxport/LockWait.h"

#include <errno.h>
#include <fcntl.h>

namespace lockwait {
int take(int fd, struct flock& region, unsigned long budgetMs, unsigned long& waitedMs, const LockPacing& pacing,
         int& error) {
    return boundedwait::wait(
        [fd, &region](bool block, int& why) {
            if (fcntl(fd, block ? F_OFD_SETLKW : F_OFD_SETLK, &region) == 0) return 1;
            why = errno;
            // A refused OFD lock reports EAGAIN or EACCES; both mean another open file holds the byte.
            return why == EAGAIN || why == EACCES || why == EINTR ? 0 : -1;
        },
        budgetMs, waitedMs, pacing, error);
}
}  // namespace lockwait
