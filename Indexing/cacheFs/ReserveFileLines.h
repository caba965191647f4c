// The lines of the reserve file, the text file in which every process that writes into a cache
// volume records the blocks it may still write. One line per process; three forms:
//   own line            "<host id>:<process id> <blocks> <time>"  (written by its process)
//   kept line with time "<head> <blocks> <time>"                  (copied by another writer)
//   kept line           "<head> <blocks>"                         (a head of a process id alone)
// The head is everything before the first blank; the time is seconds since 1970. Lines end in
// CR LF when written; a reader also takes a lone LF or a lone CR as a line end.
//
// Pure text work, no file access and no logging: the reservation reads and writes the file, and
// tests and the fuzz target use these functions directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The longest line a reader takes; a longer one is dropped whole.
constexpr size_t kMaxReserveLineLength = 1022;

// Hands out the lines of a whole file's text one by one.
class ReserveLineReader {
public:
    explicit ReserveLineReader(std::string_view text) : rest_(text) {}
    // False at the end. Otherwise line is the next line without its end; tooLong tells that it
    // has more than kMaxReserveLineLength characters.
    bool next(std::string_view& line, bool& tooLong);

private:
    std::string_view rest_;
};

enum class ReserveLineStatus {
    ok,
    noBlank,     // no head and numbers: nothing to read
    noBlocks,    // no block count after the head
    tooLarge,    // a number does not fit in 32 bits (it would wrap every sum)
    noTime,      // a line with a host id but no time: a torn write, or a writer that died mid-line
    nulByte,     // a NUL byte: no C string can carry the line back
};

struct ReserveLine {
    std::string head;  // the text before the first blank
    std::string host;  // before the head's first colon; empty for a head of a process id alone
    std::string pid;   // the process id string
    uint32_t blocks = 0;
    uint32_t time = 0;  // 0: the line has none (always so for a head without a host)
};

// Reads one line (without its end) into out. Whatever follows the numbers is ignored.
ReserveLineStatus parseReserveLine(std::string_view text, ReserveLine& out);

// "<host>:<pid> <blocks> <time>"
std::string formatOwnReserveLine(std::string_view host, std::string_view pid, int32_t blocks, uint32_t time);
// "<head> <blocks> <time>", or "<head> <blocks>" for a line without a time.
std::string formatKeptReserveLine(const ReserveLine& line);
