// One reply of tagged fields on a caller's socket, in the framed encoding of
// docs/return-data.md (ReturnDataReader decodes it).
//
// A reply is: the header frame (message type, sequence number), the fields in the order they
// were added, and an end frame carrying a 64-bit code. Fields collect in a reply buffer of
// kBufferSize bytes, allocated once per reply and reused; send(), dumpBuffer() and end() write
// out what is buffered. add() writes early only when a field does not fit into what is left of
// the buffer, so a long reply never holds more than one buffer in memory; a field larger than
// the buffer goes out straight from the caller's memory, without a copy.
//
// An 8-byte integer field is passed as the address of a native int64_t and its size; on the
// wire it is little-endian (the native order of every host this library builds for), and
// ReturnDataReader::Field::asInt64 reads it back.
//
// Return values: every operation returns 0 on success and -1 on failure, with errno and
// lastError() set to the reason and errorText() describing it:
//   EBADF       the socket given at construction is not a descriptor
//   EINVAL      a tag above kMaxFieldTag, or no data for a non-empty field
//   EMSGSIZE    a field longer than ReturnDataFormat::kMaxFieldLength
//   ESHUTDOWN   the reply was already ended
//   other       the write error (EPIPE, ECONNRESET, ...)
// EINVAL and EMSGSIZE refuse that one field and leave the reply intact. A write error makes the
// reply failed: the peer may hold part of a frame, so nothing more is written and every later
// operation returns -1 with the same error. The first failure of a reply, and every refused
// field, is logged as a debug record; the refusals of a failed reply are not, so a caller
// streaming thousands of lines into a dead socket does not flood the log.
//
// Writing never raises SIGPIPE: sockets are written with MSG_NOSIGNAL; other descriptors
// (a pipe to a parent program) with SIGPIPE blocked for the calling thread and a SIGPIPE of
// that write discarded. Interrupted writes are resumed, partial writes completed, and a
// non-blocking descriptor is waited for.
//
// Not thread-safe: one thread builds one reply.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "Platform/CYuSocket.h"
#include "Platform/EvDebug.h"

class EvReturnData {
public:
    static constexpr size_t kBufferSize = 64 * 1024;

    // callerOwnsSocket: true - the socket stays open after end() and destruction, and the caller
    // closes it (it may carry further replies); false - the reply owns the socket: end() closes
    // it, and so does the destructor of a reply that was never ended (the reader then sees the
    // reply cut short, never a false end).
    EvReturnData(unsigned long messageType, int64_t sequenceNumber, CYuSocket socket, bool callerOwnsSocket);
    // Does not end the reply: an unended reply is logged as such and its buffered fields dropped.
    ~EvReturnData();
    EvReturnData(const EvReturnData&) = delete;
    EvReturnData& operator=(const EvReturnData&) = delete;

    // Appends one field (length 0 is an empty field; data may then be null).
    int add(unsigned long tag, const void* data, size_t length);
    // Appends one field and writes out everything buffered.
    int send(unsigned long tag, const void* data, size_t length);
    // Writes out everything buffered. The argument is the debug level of the record that
    // describes the flush (fields and bytes written so far); it does not reach the wire.
    int dumpBuffer(unsigned long level);
    // Appends the end frame with code, writes out everything buffered and, when the reply owns
    // the socket, closes it. The reply is over afterwards, whatever the result.
    int end(int64_t code);

    // Bounds every wait of a write to a socket: a peer that takes in nothing for milliseconds
    // fails the reply with ETIMEDOUT, so a client that stops reading cannot hold the writer for
    // ever. 0 (the default) waits without limit. Other descriptors (pipes) are not bounded.
    void setSendTimeout(int milliseconds) { sendTimeoutMs_ = milliseconds > 0 ? milliseconds : 0; }

    bool isEnded() const { return ended_; }
    bool hasFailed() const { return failed_; }
    int lastError() const { return lastError_; }
    const std::string& errorText() const { return errorText_; }

private:
    int refuse(const char* function, int error, bool log, const char* format, ...) VORNICA_PRINTF(5, 6);
    int checkUsable(const char* function);
    int appendFrame(const char* function, uint32_t tag, const void* data, size_t length);
    int flush(const char* function, const void* frameHeader = nullptr, size_t frameHeaderLength = 0,
              const void* data = nullptr, size_t dataLength = 0);
    int writeAll(iovec* vector, int count);
    void closeOwnedSocket();

    EvDebug log_;
    unsigned long messageType_;
    int64_t sequenceNumber_;
    CYuSocket socket_;
    bool callerOwnsSocket_;
    bool isSocket_ = true;  // cleared when the descriptor turns out not to be a socket
    int sendTimeoutMs_ = 0;
    std::unique_ptr<unsigned char[]> buffer_;
    size_t used_ = 0;
    uint64_t fieldsAdded_ = 0;
    uint64_t bytesWritten_ = 0;
    bool ended_ = false;
    bool failed_ = false;
    int lastError_ = 0;
    std::string errorText_;
};
