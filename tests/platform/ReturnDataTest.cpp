#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "Platform/EvReturnData.h"
#include "Platform/ReturnDataFormat.h"
#include "Platform/ReturnDataReader.h"
#include "Platform/YuFdset.h"
#include "tests/support/EventCapture.h"

using ::testing::HasSubstr;
using namespace std::string_literals;

namespace {

using Field = ReturnDataReader::Field;

struct SocketPair {
    int fds[2] = {-1, -1};
    int &writer = fds[0], &reader = fds[1];
    SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0); }
    ~SocketPair() {
        for (int fd : fds)
            if (fd >= 0) close(fd);
    }
};

// Reads the fields of one reply into fields; "end CODE", or the error that cut the reply short.
std::string readReply(ReturnDataReader& reader, std::vector<Field>* fields = nullptr) {
    Field field;
    int rc;
    while ((rc = reader.next(field)) == 1)
        if (fields != nullptr) fields->push_back(field);
    return rc == 0 ? "end " + std::to_string(reader.endCode()) : reader.errorText();
}

std::atomic<int> sigpipeCount{0};

}  // namespace

TEST(ReturnData, RepliesCrossASmallNonBlockingSocketIntact) {
    std::vector<std::string> lines;
    for (int i = 1; i <= 3000; ++i) lines.push_back("line " + std::to_string(i));
    for (int i = 0; i < 100 * 1024; ++i) lines[10] += static_cast<char>('a' + i % 23);  // above the buffer size
    SocketPair sockets;
    // The kernel takes the writes piecemeal and refuses some with EAGAIN.
    int small = 4096;
    ASSERT_EQ(setsockopt(sockets.writer, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    ASSERT_EQ(fcntl(sockets.writer, F_SETFL, O_NONBLOCK), 0);
    int failures = 0;
    std::thread writer([&] {
        EvReturnData reply(1084, 77, CYuSocket(sockets.writer), true);
        int64_t total = 123456789012LL, lineNumber = -4;
        failures += reply.add(4140, &total, 8) + reply.send(4142, &lineNumber, 8);
        for (const std::string& line : lines) failures += reply.add(4148, line.data(), line.size());
        failures += reply.dumpBuffer(9) + reply.end(0);
        // The caller's socket stays open for a second reply, which owns it and closes it.
        failures += EvReturnData(1084, 78, CYuSocket(sockets.writer), false).end(-5);
        sockets.writer = -1;
    });

    ReturnDataReader reader(sockets.reader, 20000);
    unsigned long type = 0;
    int64_t sequence = 0;
    EXPECT_EQ(reader.readHeader(type, sequence), 0) << reader.errorText();
    EXPECT_EQ(std::make_pair(type, sequence), std::make_pair(1084ul, int64_t{77}));
    std::vector<Field> fields;
    EXPECT_EQ(readReply(reader, &fields), "end 0");
    EXPECT_EQ(readReply(reader, &fields), "end -5");
    EXPECT_THAT(readReply(reader), HasSubstr("closed before a reply header"));
    shutdown(sockets.reader, SHUT_RDWR);  // a writer stuck after a read failure gets EPIPE
    writer.join();

    EXPECT_EQ(failures, 0);
    ASSERT_EQ(fields.size(), lines.size() + 2);
    EXPECT_EQ(std::make_tuple(fields[0].tag, fields[0].asInt64(), fields[1].tag, fields[1].asInt64()),
              std::make_tuple(4140ul, int64_t{123456789012LL}, 4142ul, int64_t{-4}));
    EXPECT_FALSE(fields[2].asInt64() || fields[12].asInt64()) << "a field of other than 8 bytes is no integer";
    for (size_t i = 0; i < lines.size(); ++i)
        ASSERT_TRUE(fields[2 + i].tag == 4148 && fields[2 + i].bytes == lines[i]) << "line " << i + 1;
}

TEST(ReturnData, AddBuffersSendFlushesAndAnUnendedReplyIsCutShort) {
    SocketPair sockets;
    {
        EvReturnData reply(1084, 1, CYuSocket(sockets.writer), false);
        int64_t value = 42;
        ASSERT_EQ(reply.add(4140, &value, 8), 0);
        ASSERT_EQ(reply.add(4148, nullptr, 0), 0) << "an empty field needs no data";
        // Refused fields leave the reply intact.
        EXPECT_EQ(reply.add(ReturnDataFormat::kEndTag, &value, 8), -1);
        EXPECT_EQ(reply.add(1UL << 40, &value, 8), -1) << "tags are 32-bit on the wire";
        EXPECT_EQ(reply.add(4148, nullptr, 5), -1);
        EXPECT_EQ(reply.lastError(), EINVAL);
        EXPECT_EQ(reply.add(4148, &value, size_t{ReturnDataFormat::kMaxFieldLength} + 1), -1);
        EXPECT_EQ(reply.lastError(), EMSGSIZE);
        pollfd waiting{sockets.reader, POLLIN, 0};
        EXPECT_EQ(poll(&waiting, 1, 0), 0) << "add must not write before a flush";
        ASSERT_EQ(reply.send(4142, "ok", 2), 0);
        ASSERT_EQ(reply.add(4148, "buffered", 8), 0);
    }  // dropped without end: the owned socket is closed
    sockets.writer = -1;
    ReturnDataReader reader(sockets.reader, 5000);
    std::vector<Field> fields;
    EXPECT_THAT(readReply(reader, &fields), HasSubstr("closed in the middle of a reply")) << "never a false end";
    ASSERT_EQ(fields.size(), 3u) << "the unsent field is dropped";
    EXPECT_EQ(fields[0].asInt64(), 42);
    EXPECT_EQ(fields[1].bytes + "|" + fields[2].bytes, "|ok");
    EvReturnData noSocket(1084, 7, CYuSocket(), true);
    EXPECT_EQ(noSocket.add(4148, "x", 1), -1);
    EXPECT_EQ(noSocket.lastError(), EBADF);
}

TEST(ReturnData, WriterFailsWithoutSigpipeWhenThePeerIsGone) {
    struct sigaction counting {}, previous {};
    counting.sa_handler = [](int) { ++sigpipeCount; };
    sigaction(SIGPIPE, &counting, &previous);
    EventCapture capture;
    SocketPair sockets;
    EvReturnData onSocket(1084, 4, CYuSocket(sockets.reader), true);
    close(std::exchange(sockets.writer, -1));  // the peer of the reply's socket
    std::string big(100 * 1024, 'b');
    EXPECT_EQ(onSocket.add(4148, big.data(), big.size()), -1) << "a field larger than the buffer goes out at once";
    EXPECT_EQ(onSocket.lastError(), EPIPE);
    EXPECT_EQ(onSocket.add(4148, "x", 1), -1);
    EXPECT_EQ(onSocket.dumpBuffer(9), -1);
    EXPECT_EQ(onSocket.end(0), -1);
    EXPECT_EQ(capture.debugMessages().size(), 1u) << "a failed reply logs its failure once";

    // Not a socket: a pipe whose reader has gone.
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    close(fds[0]);
    EvReturnData reply(1084, 5, CYuSocket(fds[1]), false);
    EXPECT_EQ(reply.send(4148, "x", 1), -1);
    EXPECT_EQ(reply.lastError(), EPIPE);
    EXPECT_EQ(reply.end(0), -1);
    EXPECT_EQ(fcntl(fds[1], F_GETFD), -1) << "an owned descriptor is closed by end, even after a failure";
    EXPECT_EQ(reply.add(4148, "x", 1), -1);
    EXPECT_EQ(reply.lastError(), ESHUTDOWN);
    EXPECT_EQ(sigpipeCount.load(), 0);
    sigaction(SIGPIPE, &previous, nullptr);
}

TEST(ReturnDataReader, RejectsMalformedStreamsAndTimesOut) {
    // On the wire, little-endian: magic, version, type, sequence number; a field's tag and length.
    const std::string header = "VNRD\1\0\0\0"s + std::string(16, '\1'), field = header + "\x34\x10\0\0"s;
    const std::pair<std::string, const char*> cases[] = {
        {"", "closed before a reply header"},
        {"HTTP/1.1 200 OK\r\n\r\n......", "not a reply"},
        {"VNRD\2\0\0\0"s + std::string(16, '\1'), "version 2 is not supported"},
        {header.substr(0, 10), "closed in the middle"},
        {field + "\1\0\0\1"s, "above the limit"},  // 16 MiB + 1
        {field + "\x0a\0\0\0short"s, "closed in the middle"},
        {header + "\xff\xff\xff\xff\4\0\0\0\0\0\0\0"s, "malformed end frame"},
    };
    for (const auto& [bytes, error] : cases) {
        SocketPair sockets;
        ASSERT_EQ(write(sockets.writer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(std::exchange(sockets.writer, -1));
        ReturnDataReader reader(sockets.reader, 5000);
        EXPECT_THAT(readReply(reader), HasSubstr(error));
    }

    // A field that claims 16 MiB and brings a little: the reader holds what came, not what was
    // claimed (a peer sending such claims must not make every reader allocate them).
    for (size_t sent : {size_t{10}, size_t{200 * 1024}}) {
        SocketPair sockets;
        const std::string claim = field + "\0\0\0\1"s + std::string(sent, 'c');
        std::thread writer([&] {
            EXPECT_EQ(write(sockets.writer, claim.data(), claim.size()), static_cast<ssize_t>(claim.size()));
            close(std::exchange(sockets.writer, -1));
        });
        ReturnDataReader reader(sockets.reader, 5000);
        Field big;
        EXPECT_EQ(reader.next(big), -1);
        writer.join();
        EXPECT_THAT(reader.errorText(), HasSubstr("closed in the middle"));
        EXPECT_LE(big.bytes.capacity(), 2 * sent + 128 * 1024) << sent << " bytes sent";
    }

    // Asking for a header in the middle of a reply loses the place in the stream: that is final.
    SocketPair sockets;
    EvReturnData whole(1084, 9, CYuSocket(sockets.writer), true);
    ASSERT_EQ(whole.add(4148, "x", 1) + whole.end(0), 0);
    ReturnDataReader midway(sockets.reader, 5000);
    Field first;
    ASSERT_EQ(midway.next(first), 1);
    unsigned long type = 0;
    int64_t sequence = 0;
    EXPECT_EQ(midway.readHeader(type, sequence), -1);
    EXPECT_EQ(midway.next(first), -1) << "an error is final, though the reply's end is there to read";

    SocketPair idle;
    ReturnDataReader reader(idle.reader, 100);
    EXPECT_THAT(readReply(reader), HasSubstr("timed out"));
    ASSERT_EQ(EvReturnData(1084, 8, CYuSocket(idle.writer), true).end(0), 0);
    EXPECT_THAT(readReply(reader), HasSubstr("timed out")) << "an error is final, though a reply has come since";
}

TEST(YuFdset, RefusesDescriptorsOutsideTheSet) {
    YuFdset set;
    EXPECT_EQ(set.set(-1).code(), EBADF);
    EXPECT_EQ(set.set(CYuSocket(FD_SETSIZE)).code(), EINVAL);
    EXPECT_EQ(set.maxFdPlusOne(), 0) << "refused descriptors leave the set unchanged";
    ASSERT_FALSE(set.set(5).IsErrorSet());
    EXPECT_TRUE(set.isSet(5) && !set.isSet(FD_SETSIZE));
    EXPECT_EQ(set.maxFdPlusOne(), 6);
    set.zero();
    EXPECT_FALSE(set.isSet(5));
}
