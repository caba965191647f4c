// The records of the session service: the remote command a session runs and the buffer a
// received message is delivered in, with the message types a session produces.
#pragma once

#include <cstddef>
#include <cstdint>

// A command for dataAgentAttach. The layout is fixed (528 bytes): both texts are
// zero-terminated within their fields, and the other fields are 0.
struct krsExecuteRemoteCommandType {
    int32_t commandFlags;      // offset 0: 0
    char programName[257];     // offset 4: the program, "NAME" or "NAME.exe"
    char argumentLine[259];    // offset 261: the program's arguments, separated by blanks
    int32_t reserved1;         // offset 520: 0
    int32_t reserved2;         // offset 524: 0
};
static_assert(offsetof(krsExecuteRemoteCommandType, programName) == 4);
static_assert(offsetof(krsExecuteRemoteCommandType, argumentLine) == 261);
static_assert(offsetof(krsExecuteRemoteCommandType, reserved1) == 520);
static_assert(offsetof(krsExecuteRemoteCommandType, reserved2) == 524);
static_assert(sizeof(krsExecuteRemoteCommandType) == 528);

// Where receiveMessage puts a message's data.
//  - data null: the session allocates a buffer for the whole message (plus a terminating zero
//    byte that length does not count) and sets sessionOwned; freeReceivedMessage releases it.
//  - data not null: the caller's buffer of `capacity` bytes (capacity 0 is refused). Up to
//    capacity bytes are copied, followed by a zero byte when there is room. A longer message
//    is cut: length < fullLength and truncated = 1 tell the caller so.
struct krsDatabuf {
    char* data = nullptr;
    unsigned long capacity = 0;
    unsigned long length = 0;      // bytes delivered in data
    unsigned long fullLength = 0;  // bytes of the whole message
    int truncated = 0;             // 1 when fullLength > length
    int sessionOwned = 0;          // 1 when data was allocated by the session
};

// One line the peer program wrote to its standard output (without its line end).
constexpr unsigned long KRS_MSG_PEER_LINE = 0x9000101;
// The peer's end of work: its output ended and it exited; the second word is its exit code, or
// 128 + the signal that ended it.
constexpr unsigned long KRS_MSG_PEER_END = 0x9000102;
