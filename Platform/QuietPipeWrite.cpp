#include "Platform/QuietPipeWrite.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include "Platform/SysCalls.h"

ssize_t writevWithoutSigpipe(int fd, const iovec* vector, int count) {
    sigset_t pipeSet, oldMask, pending;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &oldMask);
    sigemptyset(&pending);
    sigpending(&pending);
    bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;
    ssize_t n = sys::writev(fd, vector, count);
    int error = errno;
    if (n < 0 && error == EPIPE && !alreadyPending) {
        timespec noWait{0, 0};
        while (sigtimedwait(&pipeSet, nullptr, &noWait) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    errno = error;
    return n;
}

ssize_t writeWithoutSigpipe(int fd, const void* data, size_t length) {
    iovec one{const_cast<void*>(data), length};
    return writevWithoutSigpipe(fd, &one, 1);
}
