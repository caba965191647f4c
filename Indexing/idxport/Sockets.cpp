#include "Indexing/idxport/Sockets.h"

#include <errno.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <climits>

#include "Platform/EvEvent.h"
#include "Platform/YuFdset.h"

int sockRecv(uint64_t socket, char* buffer, int length, int flags, unsigned timeoutSeconds) {
    // A number beyond the descriptor range must not be cut down to a valid-looking small one.
    const int fd = socket <= static_cast<uint64_t>(INT_MAX) ? static_cast<int>(socket) : -1;
    if (timeoutSeconds != 0) {
        EvEvent event;
        YuFdset readable;
        CYuError error = readable.set(fd);
        if (error.IsErrorSet()) {
            event.debug(1, "sockRecv: set fd failed, err %s", error.ConvertToString().c_str());
            errno = error.code();
            return -1;
        }
        timeval timeout{static_cast<time_t>(timeoutSeconds), 0};
        int ready;
        // select leaves the remaining time in timeout, so an interrupted wait goes on where it was.
        do {
            ready = select(readable.maxFdPlusOne(), readable.get_fdsetp(), nullptr, nullptr, &timeout);
        } while (ready < 0 && errno == EINTR);
        if (ready < 0) {
            int selectError = errno;
            event.debug(1, "sockRecv: select failed, errno %d", selectError);
            errno = selectError;
            return -1;
        }
        if (ready == 0) return -2;
    }
    int received = 0;
    while (received < length) {
        ssize_t n = recv(fd, buffer + received, static_cast<size_t>(length - received), flags);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            if (received == 0) return -1;
            break;
        }
        if (n == 0) break;  // the peer closed
        received += static_cast<int>(n);
    }
    return received;
}

// Nothing to start or stop: the socket interface is part of the system's C library.
int initWinSock() { return 0; }

int cleanupWinSock() { return 0; }
