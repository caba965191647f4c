// A page reply carried over a session. The retrieval program writes the reply stream (the
// encoding of docs/return-data.md) to its standard output as text lines, so that the session's
// line messages carry it unchanged: each line is "VNRD " and the lowercase hex of up to
// kBytesPerLine bytes of the stream, in order. Lines that do not start with "VNRD " carry no
// reply bytes.
//
// ReplyRelay takes the decoded stream on the requesting side and writes the same reply, field by
// field, to the caller's socket with EvReturnData. A stream that breaks off (the program died,
// the session failed, malformed bytes) is still finished on the socket, so the caller is never
// left waiting: the header fields not yet relayed, 4147 with the last line relayed (lineNumber
// - 1 + lines relayed, 0 when none were), and the end code kBrokenCode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "Platform/CYuSocket.h"

class EvReturnData;

namespace RemoteReply {

constexpr const char* kLinePrefix = "VNRD ";
constexpr size_t kBytesPerLine = 32 * 1024;
// The end code of a relayed reply that broke off.
constexpr int64_t kBrokenCode = 7;

// kLinePrefix + hex of the bytes (no line end).
std::string encodeLine(const unsigned char* data, size_t length);
// The bytes of one reply line; false for a line without the prefix or with malformed hex.
bool decodeLine(const char* line, size_t length, std::string& bytes);

class ReplyRelay {
public:
    ReplyRelay(CYuSocket socket, int64_t seqNo, int64_t lineNumber, int64_t numLines);
    ~ReplyRelay();
    ReplyRelay(const ReplyRelay&) = delete;
    ReplyRelay& operator=(const ReplyRelay&) = delete;

    // Relays the complete frames in bytes (and keeps a partial one for the next call). False when
    // the stream is malformed or the socket write failed; the relay takes nothing more then.
    bool take(const std::string& bytes);
    // The reply's end frame was relayed.
    bool complete() const { return complete_; }
    // Finishes a reply that did not come whole (see above). Nothing happens after complete().
    void finishBroken();

private:
    bool takeHeader();
    bool takeFrame(bool& progressed);
    bool relayField(uint32_t tag, const char* data, size_t length);

    CYuSocket socket_;
    int64_t seqNo_, lineNumber_, numLines_;
    std::unique_ptr<EvReturnData> reply_;
    std::string pending_;
    bool failed_ = false;
    bool complete_ = false;
    unsigned headerFieldsSent_ = 0;  // of 4140, 4141, 4142, in order
    bool lastLineSent_ = false;
    int64_t linesSent_ = 0;
};

}  // namespace RemoteReply
