// A descriptor set for select(). Only descriptors 0 .. FD_SETSIZE-1 fit into an fd_set:
// FD_SET with any other number writes outside the set, so set() refuses them with an error
// instead. (Code that may see higher descriptor numbers waits with poll().)
#pragma once

#include <sys/select.h>

#include "Platform/CYuError.h"
#include "Platform/CYuSocket.h"

class YuFdset {
public:
    YuFdset() { zero(); }

    // Empties the set.
    void zero();
    // Adds a descriptor. Error (code EBADF for a negative number, EINVAL for one at or above
    // FD_SETSIZE) and the set unchanged when it does not fit.
    CYuError set(int fd);
    CYuError set(CYuSocket socket) { return set(socket.fd()); }
    // Whether fd is in the set (after select: whether it is ready). False for numbers that
    // cannot be in a set.
    bool isSet(int fd) const;
    bool isSet(CYuSocket socket) const { return isSet(socket.fd()); }
    // One more than the highest descriptor added since the last zero(): select's first argument.
    int maxFdPlusOne() const { return maxFdPlusOne_; }

    fd_set* get_fdsetp() { return &set_; }

private:
    fd_set set_;
    int maxFdPlusOne_ = 0;
};
