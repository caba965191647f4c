// Decodes replies written by EvReturnData (docs/return-data.md) from a socket or pipe.
//
//   ReturnDataReader reader(fd, 30000);
//   unsigned long type; int64_t seq;
//   if (reader.readHeader(type, seq) != 0) -> reader.errorText()
//   ReturnDataReader::Field field;
//   while ((rc = reader.next(field)) == 1) { field.tag, field.bytes, field.asInt64() }
//   rc == 0: reader.endCode();  rc == -1: reader.errorText()
//
// Several replies may follow each other on one connection: after next() returned 0 the reader
// expects the next reply's header (next() reads it by itself when readHeader was not called).
// An error is final: the position in the stream is lost, so every later call returns -1 too.
// The reader never closes the descriptor.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Platform/EvDebug.h"

class ReturnDataReader {
public:
    struct Field {
        uint32_t tag = 0;
        std::string bytes;  // the field's content; its storage is reused from field to field
        // The field as a 64-bit integer; none unless it holds exactly 8 bytes.
        std::optional<int64_t> asInt64() const;
    };

    // timeoutMs: how long to wait for each piece of data; negative waits without limit.
    explicit ReturnDataReader(int fd, int timeoutMs = -1);
    ReturnDataReader(const ReturnDataReader&) = delete;
    ReturnDataReader& operator=(const ReturnDataReader&) = delete;

    // Reads the header of the next reply. 0, or -1 with errorText(): no header where one is due
    // (connection closed, time-out, wrong magic, unknown version), or called in the middle of
    // a reply (the caller has lost its place in the stream: an error like the others, final).
    int readHeader(unsigned long& messageType, int64_t& sequenceNumber);
    // 1: field holds the next field. 0: the reply ended; endCode() gives its code.
    // -1: errorText() tells why (connection closed or time-out mid-reply, read error, a length
    // above ReturnDataFormat::kMaxFieldLength, a malformed end frame).
    int next(Field& field);

    int64_t endCode() const { return endCode_; }
    // Fields read so far in the current (or just ended) reply.
    uint64_t fieldsRead() const { return fieldsRead_; }
    const std::string& errorText() const { return errorText_; }

private:
    enum class State { BeforeHeader, InReply, Failed };

    int fail(const char* format, ...) VORNICA_PRINTF(2, 3);
    // Reads exactly length bytes; false after fail() (what names them in the error).
    bool readExact(void* out, size_t length, const char* what);
    // Reads a field's length bytes into bytes, growing it as they arrive; false after fail().
    bool readField(std::string& bytes, size_t length);
    // Copies up to length buffered bytes to out; how many.
    size_t takeBuffered(void* out, size_t length);
    // One read of 1 to length bytes into out (got); false after fail(), also at the end of data.
    bool readMore(void* out, size_t length, const char* what, size_t& got);
    // One read of up to length bytes, waiting at most the time-out: > 0 bytes read, 0 end of
    // data, -1 after fail().
    ssize_t readSome(void* out, size_t length, const char* what);

    int fd_;
    int timeoutMs_;
    State state_ = State::BeforeHeader;
    std::unique_ptr<unsigned char[]> buffer_;
    size_t begin_ = 0;
    size_t end_ = 0;
    int64_t endCode_ = 0;
    uint64_t fieldsRead_ = 0;
    unsigned long messageType_ = 0;
    int64_t sequenceNumber_ = 0;
    std::string errorText_;
};
