#include "Indexing/cacheFs/ReserveFileLines.h"

#include <cinttypes>
#include <cstdio>

namespace {
bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

enum class Number { none, ok, tooLarge };

// Reads blanks, then a decimal number of at most 32 bits, from the front of text.
Number takeNumber(std::string_view& text, uint32_t& value) {
    size_t at = 0;
    while (at < text.size() && isBlank(text[at])) ++at;
    const size_t first = at;
    uint64_t n = 0;
    bool tooLarge = false;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        n = n * 10 + static_cast<unsigned>(text[at] - '0');
        if (n > UINT32_MAX) {
            tooLarge = true;
            n = UINT32_MAX;  // keeps the product in range while the digits are skipped
        }
    }
    if (at == first) return Number::none;
    text.remove_prefix(at);
    value = static_cast<uint32_t>(n);
    return tooLarge ? Number::tooLarge : Number::ok;
}
}  // namespace

bool ReserveLineReader::next(std::string_view& line, bool& tooLong) {
    if (rest_.empty()) return false;
    const size_t end = rest_.find_first_of("\r\n");
    line = rest_.substr(0, end);
    if (end == std::string_view::npos) {
        rest_ = {};
    } else {
        const size_t width = rest_[end] == '\r' && end + 1 < rest_.size() && rest_[end + 1] == '\n' ? 2 : 1;
        rest_.remove_prefix(end + width);
    }
    tooLong = line.size() > kMaxReserveLineLength;
    return true;
}

ReserveLineStatus parseReserveLine(std::string_view text, ReserveLine& out) {
    out = ReserveLine();
    if (text.find('\0') != std::string_view::npos) return ReserveLineStatus::nulByte;
    const size_t blank = text.find(' ');
    if (blank == std::string_view::npos) return ReserveLineStatus::noBlank;
    const std::string_view head = text.substr(0, blank);
    std::string_view numbers = text.substr(blank + 1);

    uint32_t blocks = 0, time = 0;
    const Number first = takeNumber(numbers, blocks);
    if (first == Number::none) return ReserveLineStatus::noBlocks;
    const Number second = takeNumber(numbers, time);
    if (first == Number::tooLarge || second == Number::tooLarge) return ReserveLineStatus::tooLarge;
    if (second == Number::none) time = 0;

    const size_t colon = head.find(':');
    out.head = head;
    out.blocks = blocks;
    if (colon == std::string_view::npos) {
        out.pid = head;  // the older form without a host carries no time
        return ReserveLineStatus::ok;
    }
    if (time == 0) return ReserveLineStatus::noTime;
    out.host = head.substr(0, colon);
    out.pid = head.substr(colon + 1);
    out.time = time;
    return ReserveLineStatus::ok;
}

std::string formatOwnReserveLine(std::string_view host, std::string_view pid, int32_t blocks, uint32_t time) {
    char numbers[32];
    snprintf(numbers, sizeof numbers, " %" PRId32 " %" PRIu32, blocks, time);
    std::string line;
    line.reserve(host.size() + 1 + pid.size() + sizeof numbers);
    line.append(host).append(1, ':').append(pid).append(numbers);
    return line;
}

std::string formatKeptReserveLine(const ReserveLine& line) {
    char numbers[32];
    if (line.time == 0)
        snprintf(numbers, sizeof numbers, " %" PRIu32, line.blocks);
    else
        snprintf(numbers, sizeof numbers, " %" PRIu32 " %" PRIu32, line.blocks, line.time);
    return line.head + numbers;
}
