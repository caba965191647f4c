// A page reply carried over a session. The retrieval program writes the reply stream (the
// encoding of docs/return-data.md) to its standard output as text lines, so that the session's
// line messages carry it unchanged: each line is "VNRD " and the lowercase hex of up to
// kBytesPerLine bytes of the stream, in order. Lines that do not hold "VNRD " carry no reply
// bytes; a line that holds it but is no such line (text before it, odd or non-hex digits, too
// long) is malformed: bytes of the stream are missing, so the stream is broken there.
//
// ReplyRelay takes the decoded stream on the requesting side and writes the same reply, field by
// field, to the caller's socket with EvReturnData. A stream that breaks off (the program died,
// the session failed, a malformed line or malformed bytes) is still finished on the socket, so
// the caller is never left waiting: the header fields not yet relayed, 4147 with the last line
// relayed (lineNumber - 1 + lines relayed, 0 when none were), and the end code kBrokenCode.
// Every write to the socket waits at most the relay's send time-out for a caller that takes in
// nothing; then the relay fails.
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

enum class LineKind {
    Other,      // no reply bytes: the line does not hold the prefix
    Reply,      // a reply line; bytes holds what it carries
    Malformed,  // holds the prefix but does not decode: the stream is broken
};
LineKind decodeLine(const char* line, size_t length, std::string& bytes);

class ReplyRelay {
public:
    // sendTimeoutMs bounds each wait for the caller to take in what is written (> 0).
    ReplyRelay(CYuSocket socket, int64_t seqNo, int64_t lineNumber, int64_t numLines, int sendTimeoutMs);
    ~ReplyRelay();
    ReplyRelay(const ReplyRelay&) = delete;
    ReplyRelay& operator=(const ReplyRelay&) = delete;

    // Relays the complete frames in bytes (and keeps a partial one for the next call). False when
    // the stream is malformed or the socket write failed; the relay takes nothing more then.
    bool take(const std::string& bytes);
    // The reply's end frame was relayed.
    bool complete() const { return complete_; }
    // The code of the relayed end frame (meaningful once complete()).
    int64_t endCode() const { return endCode_; }
    // Finishes a reply that did not come whole (see above). Nothing happens after complete().
    void finishBroken();

private:
    void startReply(unsigned long messageType, int64_t sequence);
    bool takeHeader();
    bool takeFrame(bool& progressed);
    bool relayField(uint32_t tag, const char* data, size_t length);

    CYuSocket socket_;
    int64_t seqNo_, lineNumber_, numLines_;
    int sendTimeoutMs_;
    int64_t endCode_ = 0;
    std::unique_ptr<EvReturnData> reply_;
    std::string pending_;
    bool failed_ = false;
    bool complete_ = false;
    unsigned headerFieldsSent_ = 0;  // of 4140, 4141, 4142, in order
    bool lastLineSent_ = false;
    int64_t linesSent_ = 0;
};

}  // namespace RemoteReply
