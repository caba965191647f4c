#include "JobResults/RemoteReply.h"

#include <cstring>

#include "JobResults/RetrieveResults.h"
#include "Platform/EvReturnData.h"
#include "Platform/ReturnDataFormat.h"

namespace RemoteReply {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

const unsigned char* bytesOf(const std::string& text, size_t at = 0) {
    return reinterpret_cast<const unsigned char*>(text.data()) + at;
}

}  // namespace

std::string encodeLine(const unsigned char* data, size_t length) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string line(kLinePrefix);
    line.reserve(line.size() + 2 * length);
    for (size_t i = 0; i < length; ++i) {
        line += kDigits[data[i] >> 4];
        line += kDigits[data[i] & 0x0F];
    }
    return line;
}

LineKind decodeLine(const char* line, size_t length, std::string& bytes) {
    const size_t prefix = strlen(kLinePrefix);
    const void* found = memmem(line, length, kLinePrefix, prefix);
    if (found == nullptr) return LineKind::Other;
    // Text before the prefix (a message the program wrote without its line end), odd or bad
    // digits, or more than a reply line carries: reply bytes are lost, whatever was meant.
    if (found != line || (length - prefix) % 2 != 0 || (length - prefix) / 2 > kBytesPerLine)
        return LineKind::Malformed;
    bytes.clear();
    for (size_t i = prefix; i < length; i += 2) {
        const int high = hexValue(line[i]);
        const int low = hexValue(line[i + 1]);
        if (high < 0 || low < 0) return LineKind::Malformed;
        bytes += static_cast<char>(high << 4 | low);
    }
    return LineKind::Reply;
}

ReplyRelay::ReplyRelay(CYuSocket socket, int64_t seqNo, int64_t lineNumber, int64_t numLines, int sendTimeoutMs)
    : socket_(socket), seqNo_(seqNo), lineNumber_(lineNumber), numLines_(numLines), sendTimeoutMs_(sendTimeoutMs) {}

void ReplyRelay::startReply(unsigned long messageType, int64_t sequence) {
    reply_ = std::make_unique<EvReturnData>(messageType, sequence, socket_, true);
    reply_->setSendTimeout(sendTimeoutMs_);
}

ReplyRelay::~ReplyRelay() = default;

bool ReplyRelay::take(const std::string& bytes) {
    if (failed_ || complete_) return !failed_;
    pending_ += bytes;
    if (!reply_ && !takeHeader()) return !failed_;
    for (bool progressed = true; progressed && !failed_ && !complete_;) {
        if (!takeFrame(progressed)) failed_ = true;
    }
    return !failed_;
}

bool ReplyRelay::takeHeader() {
    using namespace ReturnDataFormat;
    if (pending_.size() < kHeaderSize) return false;
    if (memcmp(pending_.data(), kMagic, sizeof kMagic) != 0 || getU32(bytesOf(pending_, 4)) != kVersion) {
        failed_ = true;
        return false;
    }
    const auto messageType = static_cast<unsigned long>(getU64(bytesOf(pending_, 8)));
    const auto sequence = static_cast<int64_t>(getU64(bytesOf(pending_, 16)));
    startReply(messageType, sequence);
    pending_.erase(0, kHeaderSize);
    return true;
}

// One frame from pending_ when it is all there (progressed tells). False on a malformed frame or
// a failed write.
bool ReplyRelay::takeFrame(bool& progressed) {
    using namespace ReturnDataFormat;
    progressed = false;
    if (pending_.size() < kFrameHeaderSize) return true;
    const uint32_t tag = getU32(bytesOf(pending_));
    const uint32_t length = getU32(bytesOf(pending_, 4));
    if (tag == kEndTag ? length != 8 : length > kMaxFieldLength) return false;
    if (pending_.size() < kFrameHeaderSize + length) return true;
    const char* data = pending_.data() + kFrameHeaderSize;
    bool written;
    if (tag == kEndTag) {
        endCode_ = static_cast<int64_t>(getU64(bytesOf(pending_, kFrameHeaderSize)));
        written = reply_->end(endCode_) == 0;
        complete_ = written;
    } else {
        written = relayField(tag, data, length);
    }
    pending_.erase(0, kFrameHeaderSize + length);
    progressed = true;
    return written;
}

bool ReplyRelay::relayField(uint32_t tag, const char* data, size_t length) {
    if (tag == RetrieveResults::kTagTotalLines || tag == RetrieveResults::kTagNumLines ||
        tag == RetrieveResults::kTagLineNumber)
        ++headerFieldsSent_;
    if (tag == RetrieveResults::kTagLine) ++linesSent_;
    if (tag == RetrieveResults::kTagLastLine) lastLineSent_ = true;
    // The header fields leave at once, as the serving side sends them.
    if (tag == RetrieveResults::kTagLineNumber) return reply_->send(tag, data, length) == 0;
    return reply_->add(tag, data, length) == 0;
}

void ReplyRelay::finishBroken() {
    if (complete_) return;
    if (!reply_) startReply(RetrieveResults::kReplyMessageType, seqNo_);
    const int64_t zero = 0;
    const int64_t* header[] = {&zero, &numLines_, &lineNumber_};
    const unsigned long tags[] = {RetrieveResults::kTagTotalLines, RetrieveResults::kTagNumLines,
                                  RetrieveResults::kTagLineNumber};
    for (unsigned i = headerFieldsSent_; i < 3; ++i) reply_->add(tags[i], header[i], sizeof(int64_t));
    if (!lastLineSent_) {
        const int64_t lastLine = linesSent_ > 0 ? lineNumber_ - 1 + linesSent_ : 0;
        reply_->add(RetrieveResults::kTagLastLine, &lastLine, sizeof lastLine);
    }
    reply_->dumpBuffer(9);
    reply_->end(kBrokenCode);
    complete_ = false;
}

}  // namespace RemoteReply
