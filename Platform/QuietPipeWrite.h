// Writing to a descriptor that may be a pipe whose reader has gone. Such a write raises
// SIGPIPE, which would end the process; these calls fail with EPIPE instead.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>

// One writev/write: SIGPIPE is blocked for the calling thread around it and, when this write
// raised it, taken off the pending set before the mask is restored. errno is kept.
ssize_t writevWithoutSigpipe(int fd, const iovec* vector, int count);
ssize_t writeWithoutSigpipe(int fd, const void* data, size_t length);
