#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Platform/EvReturnData.h"
#include "Platform/ReturnDataFormat.h"
#include "Platform/ReturnDataReader.h"
#include "Platform/YuFdset.h"
#include "tests/support/EventCapture.h"

namespace {

struct SocketPair {
    int writer = -1;
    int reader = -1;
    SocketPair() {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        writer = fds[0];
        reader = fds[1];
    }
    ~SocketPair() {
        closeWriter();
        if (reader >= 0) close(reader);
    }
    void closeWriter() {
        if (writer >= 0) close(writer);
        writer = -1;
    }
};

bool hasDataWaiting(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

// Counts SIGPIPE while it lives, so that a signal which would end the process shows as a count.
std::atomic<int> sigpipeCount{0};
struct SigpipeCounter {
    struct sigaction previous {};
    SigpipeCounter() {
        sigpipeCount = 0;
        struct sigaction counting {};
        counting.sa_handler = [](int) { ++sigpipeCount; };
        sigaction(SIGPIPE, &counting, &previous);
    }
    ~SigpipeCounter() { sigaction(SIGPIPE, &previous, nullptr); }
};

// Reads fields up to the end of one reply; the return code of the last next().
int readReply(ReturnDataReader& reader, std::vector<ReturnDataReader::Field>& fields) {
    ReturnDataReader::Field field;
    int rc;
    while ((rc = reader.next(field)) == 1) fields.push_back(field);
    return rc;
}

}  // namespace

TEST(ReturnData, PageReplyRoundTripsThroughASocket) {
    std::vector<std::string> lines;
    for (int i = 1; i <= 3000; ++i) lines.push_back("line " + std::to_string(i) + "\tcolumn");
    lines[4].clear();
    lines[10] = std::string(100 * 1024, 'x');
    lines[10][0] = 'a';
    lines[10].back() = 'z';
    SocketPair sockets;
    EventCapture capture;
    std::vector<int> results;

    // A small, non-blocking send buffer: the kernel takes the writes piecemeal and refuses
    // some with EAGAIN.
    int small = 4096;
    ASSERT_EQ(setsockopt(sockets.writer, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    ASSERT_EQ(fcntl(sockets.writer, F_SETFL, O_NONBLOCK), 0);
    std::thread writer([&] {
        EvReturnData reply(1084, 77, CYuSocket(sockets.writer), true);
        int64_t total = 123456789012LL, numLines = static_cast<int64_t>(lines.size()), lineNumber = -4;
        results.push_back(reply.add(4140, &total, 8));
        results.push_back(reply.add(4141, &numLines, 8));
        results.push_back(reply.send(4142, &lineNumber, 8));
        for (const std::string& line : lines) results.push_back(reply.add(4148, line.data(), line.size()));
        int64_t last = numLines;
        results.push_back(reply.add(4147, &last, 8));
        results.push_back(reply.dumpBuffer(9));
        results.push_back(reply.end(0));
        // The caller owns the socket: it still carries a second reply.
        EvReturnData second(1084, 78, CYuSocket(sockets.writer), true);
        results.push_back(second.end(-5));
    });

    ReturnDataReader reader(sockets.reader, 20000);
    unsigned long type = 0;
    int64_t sequence = 0;
    EXPECT_EQ(reader.readHeader(type, sequence), 0) << reader.errorText();
    EXPECT_EQ(type, 1084u);
    EXPECT_EQ(sequence, 77);
    std::vector<ReturnDataReader::Field> fields;
    EXPECT_EQ(readReply(reader, fields), 0) << reader.errorText();
    EXPECT_EQ(reader.endCode(), 0);
    ReturnDataReader::Field secondField;
    EXPECT_EQ(reader.next(secondField), 0) << "the second reply has no fields: " << reader.errorText();
    EXPECT_EQ(reader.endCode(), -5);
    shutdown(sockets.reader, SHUT_RDWR);  // a writer stuck after a read failure gets EPIPE
    writer.join();

    EXPECT_EQ(results, std::vector<int>(results.size(), 0));
    ASSERT_EQ(fields.size(), lines.size() + 4);
    auto int64At = [&](size_t i) { return fields[i].asInt64(); };
    std::vector<uint32_t> tags;
    for (const ReturnDataReader::Field& f : fields) tags.push_back(f.tag);
    std::vector<uint32_t> expectedTags{4140, 4141, 4142};
    expectedTags.insert(expectedTags.end(), lines.size(), 4148);
    expectedTags.push_back(4147);
    EXPECT_EQ(tags, expectedTags);
    EXPECT_EQ(int64At(0), 123456789012LL);
    EXPECT_EQ(int64At(1), 3000);
    EXPECT_EQ(int64At(2), -4);
    EXPECT_EQ(int64At(fields.size() - 1), 3000);
    for (size_t i = 0; i < lines.size(); ++i) ASSERT_EQ(fields[3 + i].bytes, lines[i]) << "line " << i + 1;
    EXPECT_FALSE(int64At(3).has_value()) << "a field of other than 8 bytes is no integer";
    EXPECT_FALSE(int64At(7).has_value()) << "an empty field is no integer";
    EXPECT_NE(fcntl(sockets.writer, F_GETFD), -1) << "a caller-owned socket stays open";

    bool flushRecorded = false;
    for (const JournalRecord& r : capture.ofKind("debug"))
        if (r.level == 9 && r.message.find("1084") != std::string::npos) flushRecorded = true;
    EXPECT_TRUE(flushRecorded) << "dumpBuffer records the flush at the level it is given";
}

TEST(ReturnData, AddBuffersAndSendFlushes) {
    SocketPair sockets;
    EvReturnData reply(1084, 1, CYuSocket(sockets.writer), true);
    int64_t value = 42;
    ASSERT_EQ(reply.add(4140, &value, 8), 0);
    ASSERT_EQ(reply.add(4141, &value, 8), 0);
    EXPECT_FALSE(hasDataWaiting(sockets.reader)) << "add must not write before a flush";
    ASSERT_EQ(reply.send(4142, &value, 8), 0);
    EXPECT_TRUE(hasDataWaiting(sockets.reader));

    ReturnDataReader reader(sockets.reader, 100);
    ReturnDataReader::Field field;
    for (uint32_t tag : {4140u, 4141u, 4142u}) {
        ASSERT_EQ(reader.next(field), 1) << reader.errorText();
        EXPECT_EQ(field.tag, tag);
        EXPECT_EQ(field.asInt64(), 42);
    }
    // Nothing more was flushed: the reader times out, and that error is final.
    ASSERT_EQ(reply.add(4148, "buffered", 8), 0);
    EXPECT_EQ(reader.next(field), -1);
    EXPECT_NE(reader.errorText().find("timed out"), std::string::npos) << reader.errorText();
    EXPECT_EQ(reader.next(field), -1);
}

TEST(ReturnData, OwnershipDecidesWhoClosesTheSocket) {
    {
        SocketPair sockets;
        EvReturnData reply(1084, 2, CYuSocket(sockets.writer), false);
        ASSERT_EQ(reply.end(7), 0);
        sockets.writer = -1;  // closed by end
        ReturnDataReader reader(sockets.reader, 5000);
        ReturnDataReader::Field field;
        EXPECT_EQ(reader.next(field), 0);
        EXPECT_EQ(reader.endCode(), 7);
        unsigned long type;
        int64_t sequence;
        EXPECT_EQ(reader.readHeader(type, sequence), -1);
        EXPECT_NE(reader.errorText().find("closed before a reply header"), std::string::npos) << reader.errorText();
    }
    {
        // An owned reply dropped without end closes the socket: the reader sees a cut reply.
        SocketPair sockets;
        EventCapture capture;
        {
            EvReturnData reply(1084, 3, CYuSocket(sockets.writer), false);
            ASSERT_EQ(reply.send(4148, "one", 3), 0);
            ASSERT_EQ(reply.add(4148, "two", 3), 0);
        }
        sockets.writer = -1;
        ReturnDataReader reader(sockets.reader, 5000);
        std::vector<ReturnDataReader::Field> fields;
        EXPECT_EQ(readReply(reader, fields), -1);
        EXPECT_EQ(fields.size(), 1u) << "the unsent field is dropped, never followed by an end";
        EXPECT_NE(reader.errorText().find("closed in the middle of a reply"), std::string::npos)
            << reader.errorText();
        ASSERT_FALSE(capture.debugMessages().empty());
        EXPECT_NE(capture.debugMessages().back().find("without end"), std::string::npos);
    }
}

TEST(ReturnData, WriterFailsWithoutSigpipeWhenThePeerIsGone) {
    SigpipeCounter counter;
    EventCapture capture;
    {
        SocketPair sockets;
        EvReturnData reply(1084, 4, CYuSocket(sockets.reader), true);
        sockets.closeWriter();  // the peer of the reply's socket
        std::string big(100 * 1024, 'b');
        EXPECT_EQ(reply.add(4148, big.data(), big.size()), -1) << "a field larger than the buffer goes out at once";
        EXPECT_EQ(reply.lastError(), EPIPE);
        EXPECT_TRUE(reply.hasFailed());
        size_t logged = capture.debugMessages().size();
        EXPECT_EQ(logged, 1u);
        EXPECT_EQ(reply.add(4148, "x", 1), -1);
        EXPECT_EQ(errno, EPIPE);
        EXPECT_EQ(reply.dumpBuffer(9), -1);
        EXPECT_EQ(reply.end(0), -1);
        EXPECT_EQ(capture.debugMessages().size(), logged) << "a failed reply logs its failure once";
    }
    {
        // Not a socket: a pipe whose reader has gone.
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
        close(fds[0]);
        EvReturnData reply(1084, 5, CYuSocket(fds[1]), false);
        int64_t value = 1;
        EXPECT_EQ(reply.send(4142, &value, 8), -1);
        EXPECT_EQ(reply.lastError(), EPIPE);
        EXPECT_EQ(reply.end(0), -1);
        EXPECT_EQ(fcntl(fds[1], F_GETFD), -1) << "an owned descriptor is closed by end, even after a failure";
    }
    EXPECT_EQ(sigpipeCount.load(), 0);
}

TEST(ReturnData, RefusedCallsLeaveTheReplyIntact) {
    SocketPair sockets;
    std::vector<ReturnDataReader::Field> fields;
    {
        EvReturnData reply(1084, 6, CYuSocket(sockets.writer), true);
        char small[8] = {};
        EXPECT_EQ(reply.add(ReturnDataFormat::kEndTag, small, 8), -1);
        EXPECT_EQ(reply.lastError(), EINVAL);
        EXPECT_EQ(reply.add(1UL << 40, small, 8), -1) << "tags are 32-bit on the wire";
        EXPECT_EQ(reply.add(4148, small, size_t{ReturnDataFormat::kMaxFieldLength} + 1), -1);
        EXPECT_EQ(reply.lastError(), EMSGSIZE);
        EXPECT_EQ(reply.add(4148, nullptr, 5), -1);
        EXPECT_EQ(reply.add(4148, nullptr, 0), 0) << "an empty field needs no data";
        EXPECT_EQ(reply.add(4148, "ok", 2), 0);
        EXPECT_FALSE(reply.hasFailed());
        EXPECT_EQ(reply.end(3), 0);
        EXPECT_EQ(reply.add(4148, "late", 4), -1);
        EXPECT_EQ(reply.lastError(), ESHUTDOWN);
        EXPECT_EQ(reply.end(0), -1);
    }
    ReturnDataReader reader(sockets.reader, 5000);
    EXPECT_EQ(readReply(reader, fields), 0) << reader.errorText();
    EXPECT_EQ(reader.endCode(), 3);
    ASSERT_EQ(fields.size(), 2u);
    EXPECT_EQ(fields[0].bytes, "");
    EXPECT_EQ(fields[1].bytes, "ok");

    EvReturnData noSocket(1084, 7, CYuSocket(), true);
    EXPECT_EQ(noSocket.add(4148, "x", 1), -1);
    EXPECT_EQ(noSocket.lastError(), EBADF);
    EXPECT_EQ(noSocket.end(0), -1);
}

TEST(ReturnDataReader, RejectsMalformedStreams) {
    auto header = [](uint32_t version) {
        std::string h(ReturnDataFormat::kHeaderSize, '\0');
        auto* p = reinterpret_cast<unsigned char*>(h.data());
        memcpy(p, ReturnDataFormat::kMagic, 4);
        ReturnDataFormat::putU32(p + 4, version);
        ReturnDataFormat::putU64(p + 8, 1084);
        return h;
    };
    auto frame = [](uint32_t tag, uint32_t length, const std::string& bytes) {
        std::string f(8, '\0');
        ReturnDataFormat::putU32(reinterpret_cast<unsigned char*>(f.data()), tag);
        ReturnDataFormat::putU32(reinterpret_cast<unsigned char*>(f.data()) + 4, length);
        return f + bytes;
    };
    struct Case {
        const char* name;
        std::string bytes;
        const char* error;
    };
    std::vector<Case> cases = {
        {"nothing", "", "closed before a reply header"},
        {"wrong magic", "HTTP/1.1 200 OK\r\n\r\n......", "not a reply"},
        {"newer version", header(2), "version 2 is not supported"},
        {"cut header", header(1).substr(0, 10), "closed in the middle"},
        {"oversize field", header(1) + frame(4148, ReturnDataFormat::kMaxFieldLength + 1, ""), "above the limit"},
        {"cut field", header(1) + frame(4148, 10, "short"), "closed in the middle"},
        {"short end frame", header(1) + frame(ReturnDataFormat::kEndTag, 4, std::string(4, '\0')), "malformed end frame"},
    };
    for (const Case& c : cases) {
        SocketPair sockets;
        ASSERT_EQ(write(sockets.writer, c.bytes.data(), c.bytes.size()), static_cast<ssize_t>(c.bytes.size()));
        sockets.closeWriter();
        ReturnDataReader reader(sockets.reader, 5000);
        std::vector<ReturnDataReader::Field> fields;
        EXPECT_EQ(readReply(reader, fields), -1) << c.name;
        EXPECT_NE(reader.errorText().find(c.error), std::string::npos) << c.name << ": " << reader.errorText();
    }
}

TEST(YuFdset, RefusesDescriptorsOutsideTheSet) {
    YuFdset set;
    CYuError error = set.set(-1);
    EXPECT_TRUE(error.IsErrorSet());
    EXPECT_EQ(error.code(), EBADF);
    error = set.set(CYuSocket(FD_SETSIZE));
    ASSERT_TRUE(error.IsErrorSet());
    EXPECT_EQ(error.code(), EINVAL);
    EXPECT_NE(error.ConvertToString().find(std::to_string(FD_SETSIZE)), std::string::npos);
    EXPECT_TRUE(set.set(100000).IsErrorSet());
    EXPECT_EQ(set.maxFdPlusOne(), 0) << "refused descriptors leave the set unchanged";
    EXPECT_FALSE(set.isSet(FD_SETSIZE));

    SocketPair sockets;
    ASSERT_FALSE(set.set(CYuSocket(sockets.reader)).IsErrorSet());
    ASSERT_EQ(write(sockets.writer, "!", 1), 1);
    timeval wait{5, 0};
    ASSERT_EQ(select(set.maxFdPlusOne(), set.get_fdsetp(), nullptr, nullptr, &wait), 1);
    EXPECT_TRUE(set.isSet(sockets.reader));
    set.zero();
    EXPECT_FALSE(set.isSet(sockets.reader));
    EXPECT_EQ(set.maxFdPlusOne(), 0);
}
