#include "Platform/LocalSocketPair.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

LocalSocketPair::LocalSocketPair() {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_) != 0) error_ = errno;
}

LocalSocketPair::~LocalSocketPair() {
    closeWriter();
    if (fds_[1] >= 0) ::close(fds_[1]);
}

void LocalSocketPair::closeWriter() {
    if (fds_[0] >= 0) ::close(fds_[0]);
    fds_[0] = -1;
}
