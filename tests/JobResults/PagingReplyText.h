// Page replies as a client receives them: a request answered over a real socket pair, the reply
// decoded with ReturnDataReader into its fields and into one text for comparing,
// "seq=S 4140=N 4141=N 4142=N 4148:text ... 4147=N end=C".
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <utility>

#include "JobResults/RetrieveResults.h"
#include "Platform/CYuSocket.h"
#include "Platform/ReturnDataReader.h"

// Both ends of a local stream socket, closed at the end.
struct SocketPair {
    int fds[2] = {-1, -1};
    SocketPair() { socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds); }
    ~SocketPair() {
        for (int fd : fds)
            if (fd >= 0) close(fd);
    }
};

// One page reply as it arrived. text: "nothing" when no reply header came, "... error: ..."
// when the reply broke off.
struct Page {
    bool replied = false;
    int64_t total = -1, numLines = -1, lineNumber = -1, lastLine = -1, code = -1;
    std::vector<std::string> lines;
    bool wellFormed = false;  // a page reply of the sequence number asked for, its fields in order
    std::string text;
};

inline Page decodePage(int fd, int64_t seqNo) {
    Page page;
    ReturnDataReader reader(fd, 30000);
    unsigned long type = 0;
    int64_t seq = 0;
    if (reader.readHeader(type, seq) != 0) {
        const std::string error = reader.errorText();
        page.text = error.starts_with("connection closed before a reply header") ? "nothing" : "error: " + error;
        return page;
    }
    page.replied = true;
    page.text = "seq=" + std::to_string(seq);
    std::vector<uint32_t> tags;
    ReturnDataReader::Field field;
    int rc;
    while ((rc = reader.next(field)) == 1) {
        tags.push_back(field.tag);
        const auto value = field.asInt64();
        page.text += " " + std::to_string(field.tag) + (field.tag == RetrieveResults::kTagLine || !value ? ":" + field.bytes : "=" + std::to_string(*value));
        switch (field.tag) {
            case RetrieveResults::kTagTotalLines: page.total = value.value_or(-1); break;
            case RetrieveResults::kTagNumLines: page.numLines = value.value_or(-1); break;
            case RetrieveResults::kTagLineNumber: page.lineNumber = value.value_or(-1); break;
            case RetrieveResults::kTagLastLine: page.lastLine = value.value_or(-1); break;
            case RetrieveResults::kTagLine: page.lines.push_back(field.bytes); break;
            default: break;
        }
    }
    if (rc != 0) return page.text += " error: " + reader.errorText(), page;
    page.code = reader.endCode();
    page.text += " end=" + std::to_string(page.code);
    const std::vector<uint32_t> head{4140, 4141, 4142};
    page.wellFormed = type == RetrieveResults::kReplyMessageType && seq == seqNo && tags.size() >= 4 &&
                      std::vector<uint32_t>(tags.begin(), tags.begin() + 3) == head && tags.back() == 4147 &&
                      tags.size() == 4 + page.lines.size();
    return page;
}

// Asks reader (a reader of results or the relay to one) for a page over a fresh socket pair,
// read while it is sent; failed: what getPage returned.
template <typename Reader>
Page fetchPage(Reader& reader, int64_t lineNumber, int64_t numLines, bool* failed = nullptr, int64_t seqNo = 77) {
    SocketPair pair;
    auto decoded = std::async(std::launch::async, [&] { return decodePage(pair.fds[1], seqNo); });
    const CYuSocket socket(pair.fds[0]);
    const bool result = reader.getPage(seqNo, lineNumber, numLines, &socket);
    close(std::exchange(pair.fds[0], -1));  // a request answered with nothing must end the wait
    if (failed != nullptr) *failed = result;
    return decoded.get();
}
