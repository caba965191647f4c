#include "Platform/EvReturnData.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <bit>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <new>

#include "Platform/QuietPipeWrite.h"
#include "Platform/ReturnDataFormat.h"

// Callers hand 8-byte integers as native int64_t; the wire says little-endian.
static_assert(std::endian::native == std::endian::little,
              "integer fields are passed through in native order, which must be little-endian");

namespace {

const char* const kPrefix = "EvReturnData";

}  // namespace

EvReturnData::EvReturnData(unsigned long messageType, int64_t sequenceNumber, CYuSocket socket,
                           bool callerOwnsSocket)
    : messageType_(messageType),
      sequenceNumber_(sequenceNumber),
      socket_(socket),
      callerOwnsSocket_(callerOwnsSocket) {
    if (!socket_.isValid()) {
        failed_ = true;
        refuse("EvReturnData", EBADF, true, "reply type %lu seq %" PRId64 ": invalid socket %d", messageType_,
               sequenceNumber_, socket_.fd());
        return;
    }
    buffer_.reset(new (std::nothrow) unsigned char[kBufferSize]);
    if (!buffer_) {
        failed_ = true;
        refuse("EvReturnData", ENOMEM, true, "reply type %lu seq %" PRId64 ": no memory for the reply buffer",
               messageType_, sequenceNumber_);
        return;
    }
    // The header goes out with the first flush.
    unsigned char* out = buffer_.get();
    memcpy(out, ReturnDataFormat::kMagic, 4);
    ReturnDataFormat::putU32(out + 4, ReturnDataFormat::kVersion);
    ReturnDataFormat::putU64(out + 8, static_cast<uint64_t>(messageType_));
    ReturnDataFormat::putU64(out + 16, static_cast<uint64_t>(sequenceNumber_));
    used_ = ReturnDataFormat::kHeaderSize;
}

EvReturnData::~EvReturnData() {
    if (!ended_) {
        log_.Debug(kPrefix,
                   "reply type %lu seq %" PRId64 " on socket %d discarded without end (%" PRIu64
                   " fields added, %zu bytes not sent)\n",
                   messageType_, sequenceNumber_, socket_.fd(), fieldsAdded_, used_);
        closeOwnedSocket();
    }
}

int EvReturnData::refuse(const char* function, int error, bool log, const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    errorText_ = text;
    lastError_ = error;
    if (log) log_.Debug(kPrefix, "%s(): %s: errno=%d\n", function, text, error);
    errno = error;
    return -1;
}

int EvReturnData::checkUsable(const char* function) {
    if (ended_)
        return refuse(function, ESHUTDOWN, true, "reply type %lu seq %" PRId64 " already ended", messageType_,
                      sequenceNumber_);
    if (failed_) {
        // Already logged when it failed; keep the reason.
        errno = lastError_;
        return -1;
    }
    return 0;
}

int EvReturnData::appendFrame(const char* function, uint32_t tag, const void* data, size_t length) {
    unsigned char frame[ReturnDataFormat::kFrameHeaderSize];
    ReturnDataFormat::putU32(frame, tag);
    ReturnDataFormat::putU32(frame + 4, static_cast<uint32_t>(length));
    size_t needed = sizeof frame + length;
    if (needed <= kBufferSize - used_) {
        memcpy(buffer_.get() + used_, frame, sizeof frame);
        if (length > 0) memcpy(buffer_.get() + used_ + sizeof frame, data, length);
        used_ += needed;
        return 0;
    }
    // It does not fit: write the buffer and this frame in one go, the data from where it lies.
    return flush(function, frame, sizeof frame, data, length);
}

int EvReturnData::add(unsigned long tag, const void* data, size_t length) {
    if (checkUsable("add") != 0) return -1;
    if (tag > ReturnDataFormat::kMaxFieldTag)
        return refuse("add", EINVAL, true, "reply type %lu seq %" PRId64 ": tag %lu is not a field tag (0..%" PRIu32 ")",
                      messageType_, sequenceNumber_, tag, ReturnDataFormat::kMaxFieldTag);
    if (length > ReturnDataFormat::kMaxFieldLength)
        return refuse("add", EMSGSIZE, true,
                      "reply type %lu seq %" PRId64 ": field %lu of %zu bytes exceeds the limit of %" PRIu32 " bytes",
                      messageType_, sequenceNumber_, tag, length, ReturnDataFormat::kMaxFieldLength);
    if (data == nullptr && length > 0)
        return refuse("add", EINVAL, true, "reply type %lu seq %" PRId64 ": field %lu of %zu bytes has no data",
                      messageType_, sequenceNumber_, tag, length);
    if (appendFrame("add", static_cast<uint32_t>(tag), data, length) != 0) return -1;
    ++fieldsAdded_;
    return 0;
}

int EvReturnData::send(unsigned long tag, const void* data, size_t length) {
    if (add(tag, data, length) != 0) return -1;
    return flush("send");
}

int EvReturnData::dumpBuffer(unsigned long level) {
    if (checkUsable("dumpBuffer") != 0) return -1;
    if (flush("dumpBuffer") != 0) return -1;
    log_.debug(static_cast<int>(level), "dumpBuffer: reply type %lu seq %" PRId64 ": %" PRIu64 " fields, %" PRIu64 " bytes sent\n",
               messageType_, sequenceNumber_, fieldsAdded_, bytesWritten_);
    return 0;
}

int EvReturnData::end(int64_t code) {
    if (checkUsable("end") != 0) {
        ended_ = true;
        closeOwnedSocket();
        return -1;
    }
    unsigned char codeBytes[8];
    ReturnDataFormat::putU64(codeBytes, static_cast<uint64_t>(code));
    int rc = appendFrame("end", ReturnDataFormat::kEndTag, codeBytes, sizeof codeBytes);
    if (rc == 0) rc = flush("end");
    ended_ = true;
    closeOwnedSocket();
    return rc;
}

int EvReturnData::flush(const char* function, const void* frameHeader, size_t frameHeaderLength, const void* data,
                        size_t dataLength) {
    iovec vector[3];
    int count = 0;
    if (used_ > 0) vector[count++] = {buffer_.get(), used_};
    if (frameHeaderLength > 0) vector[count++] = {const_cast<void*>(frameHeader), frameHeaderLength};
    if (dataLength > 0) vector[count++] = {const_cast<void*>(data), dataLength};
    if (count == 0) return 0;
    size_t total = used_ + frameHeaderLength + dataLength;
    used_ = 0;
    if (writeAll(vector, count) != 0) {
        int error = errno;
        failed_ = true;
        return refuse(function, error, true,
                      "reply type %lu seq %" PRId64 ": writing %zu bytes to socket %d failed after %" PRIu64
                      " bytes: %s",
                      messageType_, sequenceNumber_, total, socket_.fd(), bytesWritten_, strerror(error));
    }
    return 0;
}

int EvReturnData::writeAll(iovec* vector, int count) {
    int fd = socket_.fd();
    while (count > 0) {
        ssize_t n;
        if (isSocket_) {
            msghdr message{};
            message.msg_iov = vector;
            message.msg_iovlen = static_cast<size_t>(count);
            n = sendmsg(fd, &message, MSG_NOSIGNAL | (sendTimeoutMs_ > 0 ? MSG_DONTWAIT : 0));
            if (n < 0 && errno == ENOTSOCK) {
                isSocket_ = false;
                continue;
            }
        } else {
            n = writevWithoutSigpipe(fd, vector, count);
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd waitFor{fd, POLLOUT, 0};
                const int ready = poll(&waitFor, 1, isSocket_ && sendTimeoutMs_ > 0 ? sendTimeoutMs_ : -1);
                if (ready < 0 && errno != EINTR) return -1;
                if (ready == 0) {
                    errno = ETIMEDOUT;  // the peer took in nothing for the whole time-out
                    return -1;
                }
                continue;
            }
            return -1;
        }
        if (n == 0) {
            errno = EIO;  // no progress on a non-empty write: do not spin
            return -1;
        }
        bytesWritten_ += static_cast<uint64_t>(n);
        size_t done = static_cast<size_t>(n);
        while (count > 0 && done >= vector->iov_len) {
            done -= vector->iov_len;
            ++vector;
            --count;
        }
        if (count > 0) {
            vector->iov_base = static_cast<char*>(vector->iov_base) + done;
            vector->iov_len -= done;
        }
    }
    return 0;
}

void EvReturnData::closeOwnedSocket() {
    if (callerOwnsSocket_ || !socket_.isValid()) return;
    // No retry on EINTR: on Linux the descriptor is released either way.
    close(socket_.fd());
    socket_ = CYuSocket();
}
