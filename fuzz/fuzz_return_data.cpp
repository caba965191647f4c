// Replies as a peer may send them: the input is the byte stream on the descriptor, read the way
// a client reads it (a header, then fields to the end frame, reply after reply) until the reader
// reports the end of the data or an error. The stream sits in one file of the sandbox, rewritten
// for every input.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "Platform/ReturnDataFormat.h"
#include "Platform/ReturnDataReader.h"
#include "fuzz/FuzzSandbox.h"

namespace {
struct Setup {
    FuzzSandbox sandbox;
    int fd = -1;

    Setup() {
        fd = open(sandbox.file("stream").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) {
            perror("fuzz_return_data: open");
            abort();
        }
    }
    ~Setup() { close(fd); }
};

void writeStream(int fd, const uint8_t* data, size_t size) {
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size) ||
        lseek(fd, 0, SEEK_SET) != 0) {
        perror("fuzz_return_data: rewriting the stream");
        abort();
    }
}

// Reads the stream to its end or first error; what comes out must have been sent.
void readReplies(int fd, size_t size) {
    ReturnDataReader reader(fd, 1000);
    unsigned long messageType = 0;
    int64_t sequenceNumber = 0;
    // The first reply's header is asked for explicitly, later ones are read by next().
    if (reader.readHeader(messageType, sequenceNumber) != 0) {
        if (reader.errorText().empty()) __builtin_trap();
        return;
    }
    ReturnDataReader::Field field;
    size_t consumed = ReturnDataFormat::kHeaderSize;
    bool headerPending = false;
    for (;;) {
        const int rc = reader.next(field);
        if (rc < 0) break;
        if (headerPending) consumed += ReturnDataFormat::kHeaderSize;
        headerPending = rc == 0;
        if (rc == 0) {
            consumed += ReturnDataFormat::kFrameHeaderSize + 8;
        } else {
            if (field.bytes.size() > ReturnDataFormat::kMaxFieldLength || field.tag == ReturnDataFormat::kEndTag)
                __builtin_trap();
            if (field.asInt64().has_value() != (field.bytes.size() == 8)) __builtin_trap();
            consumed += ReturnDataFormat::kFrameHeaderSize + field.bytes.size();
        }
        if (consumed > size) __builtin_trap();
    }
    // An error is final and always named.
    if (reader.errorText().empty() || reader.next(field) != -1) __builtin_trap();
    // A field grows with the bytes that came, never to a length a peer merely claimed.
    if (field.bytes.capacity() > 2 * size + 128 * 1024) __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Setup setup;
    writeStream(setup.fd, data, size);
    readReplies(setup.fd, size);
    setup.sandbox.trimJournal();
    return 0;
}
