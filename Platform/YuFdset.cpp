#include "Platform/YuFdset.h"

#include <errno.h>

#include <string>

void YuFdset::zero() {
    FD_ZERO(&set_);
    maxFdPlusOne_ = 0;
}

CYuError YuFdset::set(int fd) {
    if (fd < 0) return CYuError(EBADF, "YuFdset::set: invalid descriptor " + std::to_string(fd));
    if (fd >= FD_SETSIZE)
        return CYuError(EINVAL, "YuFdset::set: descriptor " + std::to_string(fd) +
                                    " does not fit into an fd_set (limit " + std::to_string(FD_SETSIZE) + ")");
    FD_SET(fd, &set_);
    if (fd + 1 > maxFdPlusOne_) maxFdPlusOne_ = fd + 1;
    return CYuError();
}

bool YuFdset::isSet(int fd) const {
    if (fd < 0 || fd >= FD_SETSIZE) return false;
    return FD_ISSET(fd, &set_);
}
