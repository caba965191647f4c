// Receiving from a socket, and starting and stopping the socket library.
#pragma once

#include <cstdint>

// Receives length bytes from the socket (a descriptor number). timeoutSeconds non-zero bounds
// the wait for the first bytes: -2 when none arrive in time; the receives that follow block.
// Returns the bytes received, fewer than length when the peer closed the connection, or -1 on
// failure (errno tells why) when nothing was received.
int sockRecv(uint64_t socket, char* buffer, int length, int flags, unsigned timeoutSeconds);

// POSIX sockets need no library start or stop: both return 0.
int initWinSock();
int cleanupWinSock();
