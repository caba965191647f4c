// A page reply read from a real socket, as one text for comparing in tests:
// "seq=S 4140=N 4141=N 4142=N 4148:text ... 4147=N end=C", or "error: ..." when no complete
// reply arrived within the time-out.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <utility>

#include "Platform/CYuSocket.h"
#include "Platform/ReturnDataReader.h"

inline std::string pageReplyText(int fd, int timeoutMs = 20000) {
    ReturnDataReader reader(fd, timeoutMs);
    unsigned long type = 0;
    int64_t seq = 0;
    if (reader.readHeader(type, seq) != 0) return "error: " + reader.errorText();
    std::string text = "seq=" + std::to_string(seq);
    ReturnDataReader::Field field;
    int rc;
    while ((rc = reader.next(field)) == 1) {
        auto value = field.asInt64();
        text += " " + std::to_string(field.tag) +
                (field.tag == 4148 || !value ? ":" + field.bytes : "=" + std::to_string(*value));
    }
    if (rc != 0) return text + " error: " + reader.errorText();
    return text + " end=" + std::to_string(reader.endCode());
}

// Both ends of a local stream socket, closed at the end.
struct SocketPair {
    int fds[2] = {-1, -1};
    SocketPair() { socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds); }
    ~SocketPair() {
        for (int fd : fds)
            if (fd >= 0) close(fd);
    }
};

// Asks reader (a reader of results or the relay to one) for a page over a fresh socket pair:
// the reply as text, or "nothing" when none was sent. failed: what getPage returned.
template <typename Reader>
std::string servedPage(Reader& reader, int64_t seqNo, int64_t lineNumber, int64_t numLines, bool* failed = nullptr) {
    SocketPair pair;
    const CYuSocket socket(pair.fds[0]);
    const bool result = reader.getPage(seqNo, lineNumber, numLines, &socket);
    if (failed != nullptr) *failed = result;
    close(std::exchange(pair.fds[0], -1));  // what was sent can be read, then the end
    const std::string text = pageReplyText(pair.fds[1]);
    return text.starts_with("error: connection closed before a reply header") ? "nothing" : text;
}
