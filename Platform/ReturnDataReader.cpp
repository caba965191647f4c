#include "Platform/ReturnDataReader.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <new>

#include "Platform/ReturnDataFormat.h"

namespace {
constexpr size_t kReadBufferSize = 64 * 1024;
}

std::optional<int64_t> ReturnDataReader::Field::asInt64() const {
    if (bytes.size() != 8) return std::nullopt;
    return static_cast<int64_t>(ReturnDataFormat::getU64(reinterpret_cast<const unsigned char*>(bytes.data())));
}

ReturnDataReader::ReturnDataReader(int fd, int timeoutMs)
    : fd_(fd), timeoutMs_(timeoutMs), buffer_(new (std::nothrow) unsigned char[kReadBufferSize]) {
    if (!buffer_) fail("no memory for the read buffer");
}

int ReturnDataReader::fail(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    errorText_ = text;
    state_ = State::Failed;
    return -1;
}

ssize_t ReturnDataReader::readSome(void* out, size_t length, const char* what) {
    for (;;) {
        pollfd waitFor{fd_, POLLIN, 0};
        int ready = poll(&waitFor, 1, timeoutMs_ < 0 ? -1 : timeoutMs_);
        if (ready < 0) {
            if (errno == EINTR) continue;
            int error = errno;
            return fail("waiting for %s failed: %s", what, strerror(error));
        }
        if (ready == 0) return fail("timed out after %d ms waiting for %s", timeoutMs_, what);
        ssize_t n = read(fd_, out, length);
        if (n >= 0) return n;
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
        int error = errno;
        return fail("reading %s failed: %s", what, strerror(error));
    }
}

// One read of up to length bytes in the middle of a reply; false after fail(), also when the
// data ends there.
bool ReturnDataReader::readMore(void* out, size_t length, const char* what, size_t& got) {
    const ssize_t n = readSome(out, length, what);
    if (n < 0) return false;
    if (n == 0) {
        fail("connection closed in the middle of a reply (reading %s after %" PRIu64 " fields)", what, fieldsRead_);
        return false;
    }
    got = static_cast<size_t>(n);
    return true;
}

size_t ReturnDataReader::takeBuffered(void* out, size_t length) {
    const size_t take = std::min(end_ - begin_, length);
    if (take > 0) memcpy(out, buffer_.get() + begin_, take);
    begin_ += take;
    return take;
}

bool ReturnDataReader::readExact(void* out, size_t length, const char* what) {
    unsigned char* to = static_cast<unsigned char*>(out);
    while (length > 0) {
        size_t got = takeBuffered(to, length);
        if (got == 0) {
            // The buffer is empty. A large piece is read straight into its destination.
            const bool direct = length >= kReadBufferSize;
            begin_ = end_ = 0;
            if (!readMore(direct ? to : buffer_.get(), direct ? length : kReadBufferSize, what, got)) return false;
            if (!direct) {
                end_ = got;
                continue;
            }
        }
        to += got;
        length -= got;
    }
    return true;
}

// The field grows with what arrives, never by its claimed length ahead of the data: a peer that
// claims large fields and sends nothing must not make the reader allocate them. A large rest is
// read straight into the field, each step at most as large as what has come so far (and at
// least a buffer's worth), so the field never holds much more than twice what arrived.
bool ReturnDataReader::readField(std::string& bytes, size_t length) {
    bytes.clear();
    while (bytes.size() < length) {
        const size_t have = bytes.size();
        const size_t missing = length - have;
        if (begin_ < end_ || missing < kReadBufferSize) {
            const size_t step = std::min(missing, begin_ < end_ ? end_ - begin_ : kReadBufferSize);
            bytes.resize(have + step);
            if (!readExact(bytes.data() + have, step, "field data")) return false;
            continue;
        }
        const size_t step = std::min(missing, std::max(kReadBufferSize, have));
        bytes.resize(have + step);
        size_t got = 0;
        if (!readMore(bytes.data() + have, step, "field data", got)) return false;
        bytes.resize(have + got);
    }
    return true;
}

int ReturnDataReader::readHeader(unsigned long& messageType, int64_t& sequenceNumber) {
    if (state_ == State::Failed) return -1;
    // The caller has lost its place in the stream: whatever it reads next would be misread.
    if (state_ == State::InReply) return fail("readHeader: a reply is being read; its header was read already");
    // Data ending cleanly before a header is not the middle of a reply.
    if (begin_ == end_) {
        begin_ = end_ = 0;
        ssize_t n = readSome(buffer_.get(), kReadBufferSize, "the reply header");
        if (n < 0) return -1;
        if (n == 0) return fail("connection closed before a reply header");
        end_ = static_cast<size_t>(n);
    }
    unsigned char header[ReturnDataFormat::kHeaderSize];
    fieldsRead_ = 0;
    if (!readExact(header, sizeof header, "the reply header")) return -1;
    if (memcmp(header, ReturnDataFormat::kMagic, sizeof ReturnDataFormat::kMagic) != 0)
        return fail("not a reply: the header starts with %02x %02x %02x %02x", header[0], header[1], header[2],
                    header[3]);
    uint32_t version = ReturnDataFormat::getU32(header + 4);
    if (version != ReturnDataFormat::kVersion)
        return fail("reply version %" PRIu32 " is not supported (expected %" PRIu32 ")", version,
                    ReturnDataFormat::kVersion);
    messageType_ = static_cast<unsigned long>(ReturnDataFormat::getU64(header + 8));
    sequenceNumber_ = static_cast<int64_t>(ReturnDataFormat::getU64(header + 16));
    messageType = messageType_;
    sequenceNumber = sequenceNumber_;
    endCode_ = 0;
    state_ = State::InReply;
    return 0;
}

int ReturnDataReader::next(Field& field) {
    if (state_ == State::Failed) return -1;
    if (state_ == State::BeforeHeader) {
        unsigned long type;
        int64_t sequence;
        if (readHeader(type, sequence) != 0) return -1;
    }
    unsigned char frame[ReturnDataFormat::kFrameHeaderSize];
    if (!readExact(frame, sizeof frame, "a frame header")) return -1;
    uint32_t tag = ReturnDataFormat::getU32(frame);
    uint32_t length = ReturnDataFormat::getU32(frame + 4);
    if (tag == ReturnDataFormat::kEndTag) {
        if (length != 8) return fail("malformed end frame: length %" PRIu32 " instead of 8", length);
        unsigned char code[8];
        if (!readExact(code, sizeof code, "the end code")) return -1;
        endCode_ = static_cast<int64_t>(ReturnDataFormat::getU64(code));
        state_ = State::BeforeHeader;
        return 0;
    }
    if (length > ReturnDataFormat::kMaxFieldLength)
        return fail("field tag %" PRIu32 " claims %" PRIu32 " bytes, above the limit of %" PRIu32 " bytes", tag, length,
                    ReturnDataFormat::kMaxFieldLength);
    field.tag = tag;
    if (!readField(field.bytes, length)) return -1;
    ++fieldsRead_;
    return 1;
}
