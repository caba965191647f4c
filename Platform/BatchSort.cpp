#include "Platform/BatchSort.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <typeinfo>
#include <vector>

#include "Platform/AtomicRewrite.h"
#include "Platform/SysCalls.h"

namespace {
std::atomic<size_t> budgetSetting{0};
std::atomic<size_t> lineLimitSetting{0};

constexpr size_t kReadChunk = size_t(1) << 20;        // the largest read into the buffer
constexpr size_t kSmallRead = 4096;                   // below twice this the free space is read whole
constexpr size_t kMaxOutBuffer = size_t(1) << 20;     // output buffer: 1/32 of the block, 4 KiB to 1 MiB
constexpr size_t kMinOutBuffer = 4096;
constexpr size_t kMapThreshold = size_t(8) << 20;     // blocks this large are mapped, with huge pages
constexpr size_t kAlign = 64;
constexpr int kRunNameAttempts = 1000;

size_t roundUp(size_t n, size_t to) { return (n + to - 1) / to * to; }
size_t minimumBudget(size_t lineLimit) { return roundUp(8 * (lineLimit + 2) + (size_t(64) << 10), 4096); }

std::string errnoText(int error) {
    char buffer[256];
    return strerror_r(error, buffer, sizeof buffer);  // the GNU variant: returns the text
}

ssize_t readSome(int fd, char* to, size_t size) {
    for (;;) {
        ssize_t n = ::read(fd, to, size);
        if (n >= 0 || errno != EINTR) return n;
    }
}

int writeAll(int fd, const char* from, size_t size) {
    while (size > 0) {
        ssize_t n = sys::write(fd, from, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        from += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

// One line of a run in the buffer: its first eight bytes as a big-endian number (folded when
// the comparison ignores case; zero bytes beyond a short line), where it starts and how long
// it is without its line end.
struct Entry {
    uint64_t key;
    uint32_t offset;
    uint32_t length;
};
static_assert(sizeof(Entry) == 16);

struct FoldTable {
    unsigned char map[256];
    constexpr FoldTable() : map() {
        for (int i = 0; i < 256; ++i) map[i] = static_cast<unsigned char>(i >= 'a' && i <= 'z' ? i - 'a' + 'A' : i);
    }
};
constexpr FoldTable kFold;

// The default comparison, inlined: byte order, optionally folded and reversed. Runs are sorted
// on the entries' keys first, which settles most pairs without touching the lines.
template <bool Descending, bool Fold>
struct BytePolicy {
    static constexpr bool kKeys = true;
    static constexpr bool kLineKeys = false;
    static constexpr size_t kExtra = 0;  // bytes of free buffer a line needs while a run is sorted

    static uint64_t key(const unsigned char* p, size_t n) {
        if (!Fold && n >= 8) {
            uint64_t k;
            std::memcpy(&k, p, 8);
            return __builtin_bswap64(k);
        }
        uint64_t k = 0;
        for (size_t i = 0, m = std::min<size_t>(n, 8); i < m; ++i)
            k |= uint64_t(Fold ? kFold.map[p[i]] : p[i]) << (56 - 8 * i);
        return k;
    }
    // Ascending order of a and b, whose first `from` bytes are known to be equal.
    static int bytes(const unsigned char* a, size_t la, const unsigned char* b, size_t lb, size_t from) {
        const size_t common = std::min(la, lb);
        if (common > from) {
            if (!Fold) {
                int c = std::memcmp(a + from, b + from, common - from);
                if (c != 0) return c;
            } else {
                for (size_t i = from; i < common; ++i) {
                    int c = int(kFold.map[a[i]]) - int(kFold.map[b[i]]);
                    if (c != 0) return c;
                }
            }
        }
        return la < lb ? -1 : la > lb ? 1 : 0;
    }
    static int ordered(std::string_view a, std::string_view b) {
        auto pa = reinterpret_cast<const unsigned char*>(a.data());
        auto pb = reinterpret_cast<const unsigned char*>(b.data());
        return Descending ? bytes(pb, b.size(), pa, a.size(), 0) : bytes(pa, a.size(), pb, b.size(), 0);
    }
    void makeKey(std::string_view, std::string&) const {}
    int cmpKeyed(std::string_view a, std::string_view, std::string_view b, std::string_view) const { return ordered(a, b); }
    int cmpEntries(const Entry& x, const Entry& y, const char* base) const {
        return ordered(std::string_view(base + x.offset, x.length), std::string_view(base + y.offset, y.length));
    }
    bool less(const Entry& x, const Entry& y, const char* base) const {
        if (x.key != y.key) return Descending ? x.key > y.key : x.key < y.key;
        // Equal keys: the bytes up to the shorter length, at most eight, are equal.
        const size_t from = std::min<size_t>({x.length, y.length, 8});
        auto px = reinterpret_cast<const unsigned char*>(base + x.offset);
        auto py = reinterpret_cast<const unsigned char*>(base + y.offset);
        int c = bytes(px, x.length, py, y.length, from);
        if (c != 0) return Descending ? c > 0 : c < 0;
        return x.offset < y.offset;  // input order
    }
};

std::string_view lineOf(const Entry& e, const char* base) { return std::string_view(base + e.offset, e.length); }

// A comparison supplied by a derived class, called for every pair. Runs are sorted by
// mergeSort, which needs a second array of entries.
struct VirtualPolicy {
    static constexpr bool kKeys = false;
    static constexpr bool kLineKeys = false;
    static constexpr size_t kExtra = sizeof(Entry);
    static uint64_t key(const unsigned char*, size_t) { return 0; }

    Sortable* sortable;
    void makeKey(std::string_view, std::string&) const {}
    int cmpKeyed(std::string_view a, std::string_view, std::string_view b, std::string_view) const {
        return sortable->compare(a, b);
    }
    int cmpEntries(const Entry& x, const Entry& y, const char* base) const {
        return sortable->compare(lineOf(x, base), lineOf(y, base));
    }
    bool less(const Entry& x, const Entry& y, const char* base) const {
        int c = cmpEntries(x, y, base);
        return c != 0 ? c < 0 : x.offset < y.offset;
    }
};

// A derived comparison by keys made once per line (Sortable::usesKeys). While a run is formed,
// each line's key is kept in the buffer below its entry, and the entry's key field tells
// where: the key's offset in the upper 32 bits, its length in the lower. Before the run is
// sorted the entries are gathered into one array (with mergeSort's second array) in the
// free space that was kept for them.
struct KeyedPolicy {
    static constexpr bool kKeys = false;
    static constexpr bool kLineKeys = true;
    static constexpr size_t kExtra = 2 * sizeof(Entry);
    static uint64_t key(const unsigned char*, size_t) { return 0; }

    Sortable* sortable;
    static std::string_view keyOf(const Entry& e, const char* base) {
        return std::string_view(base + (e.key >> 32), static_cast<uint32_t>(e.key));
    }
    void makeKey(std::string_view line, std::string& key) const { sortable->makeKey(line, key); }
    int cmpKeyed(std::string_view a, std::string_view keyA, std::string_view b, std::string_view keyB) const {
        return sortable->compareKeyed(a, keyA, b, keyB);
    }
    int cmpEntries(const Entry& x, const Entry& y, const char* base) const {
        return sortable->compareKeyed(lineOf(x, base), keyOf(x, base), lineOf(y, base), keyOf(y, base));
    }
    bool less(const Entry& x, const Entry& y, const char* base) const {
        int c = cmpEntries(x, y, base);
        return c != 0 ? c < 0 : x.offset < y.offset;
    }
};

// A stable merge sort that stays within its arrays whatever the comparison answers (a
// comparison of a derived class need not be a strict weak order). tmp holds n entries.
template <class Less>
void mergeSort(Entry* a, Entry* tmp, size_t n, const Less& less) {
    constexpr size_t kSmall = 16;
    for (size_t lo = 0; lo < n; lo += kSmall) {
        const size_t hi = std::min(n, lo + kSmall);
        for (size_t i = lo + 1; i < hi; ++i) {
            Entry v = a[i];
            size_t j = i;
            for (; j > lo && less(v, a[j - 1]); --j) a[j] = a[j - 1];
            a[j] = v;
        }
    }
    Entry* from = a;
    Entry* to = tmp;
    for (size_t width = kSmall; width < n; width *= 2) {
        for (size_t lo = 0; lo < n; lo += 2 * width) {
            const size_t mid = std::min(n, lo + width), hi = std::min(n, lo + 2 * width);
            size_t i = lo, j = mid, k = lo;
            while (i < mid && j < hi) to[k++] = less(from[j], from[i]) ? from[j++] : from[i++];
            while (i < mid) to[k++] = from[i++];
            while (j < hi) to[k++] = from[j++];
        }
        std::swap(from, to);
    }
    if (from != a) std::memcpy(a, from, n * sizeof(Entry));
}

// Buffered writing of a run or the output file.
struct Writer {
    int fd = -1;
    char* buffer = nullptr;
    size_t capacity = 0;
    size_t used = 0;

    bool put(const char* data, size_t size) {
        if (size <= capacity - used) {
            std::memcpy(buffer + used, data, size);
            used += size;
            return true;
        }
        while (size > 0) {
            if (used == capacity && !flush()) return false;
            size_t n = std::min(size, capacity - used);
            std::memcpy(buffer + used, data, n);
            used += n;
            data += n;
            size -= n;
        }
        return true;
    }
    bool flush() {
        if (writeAll(fd, buffer, used) != 0) return false;
        used = 0;
        return true;
    }
};

// Reads the LF-ended lines of one run file through a fixed buffer.
struct RunReader {
    int fd = -1;
    char* buffer = nullptr;
    size_t capacity = 0;
    size_t pos = 0;
    size_t end = 0;
    bool eof = false;
    std::string_view line;

    RunReader() = default;
    RunReader(const RunReader&) = delete;
    RunReader& operator=(const RunReader&) = delete;
    ~RunReader() {
        if (fd >= 0) ::close(fd);
    }
    // 1 a line in `line`, 0 no more lines, -1 error (errno set; 0 for a damaged run).
    int next() {
        for (;;) {
            const char* start = buffer + pos;
            if (const void* nl = std::memchr(start, '\n', end - pos); nl != nullptr) {
                const size_t length = static_cast<size_t>(static_cast<const char*>(nl) - start);
                line = std::string_view(start, length);
                pos += length + 1;
                return 1;
            }
            if (eof) {
                if (pos == end) return 0;
                errno = 0;  // runs end in a line feed
                return -1;
            }
            std::memmove(buffer, start, end - pos);
            end -= pos;
            pos = 0;
            if (end == capacity) {  // no line of a run is this long
                errno = 0;
                return -1;
            }
            ssize_t n = readSome(fd, buffer + end, capacity - end);
            if (n < 0) return -1;
            if (n == 0)
                eof = true;
            else
                end += static_cast<size_t>(n);
        }
    }
};

// One sort: the buffer, the files it made and the way out on failure.
class SortJob {
public:
    SortJob(int inputFd, const std::string& input, const std::string& output, const std::string& workDir, bool unique,
            uint64_t inputSize, uint64_t inputDevice, uint64_t inputInode, const FileOwnership* outputOwnership)
        : inputFd_(inputFd),
          input_(input),
          output_(output),
          workDir_(workDir),
          unique_(unique),
          inputSize_(inputSize),
          inputDevice_(inputDevice),
          inputInode_(inputInode),
          outputOwnership_(outputOwnership) {}
    ~SortJob() {
        if (inputFd_ >= 0) ::close(inputFd_);
        removeWorkFiles();
        if (outputFd_ >= 0) ::close(outputFd_);
        if (failed_ && outputCreated_ && !outputIsInput_) sys::unlink(output_.c_str());
        releaseBlock();
    }
    SortJob(const SortJob&) = delete;
    SortJob& operator=(const SortJob&) = delete;

    template <class P>
    int run(const P& policy);

    const std::string& error() const { return error_; }
    size_t runCount() const { return runCount_; }
    size_t mergePasses() const { return mergePasses_; }
    size_t blockSize() const { return blockSize_; }

private:
    int fail(const char* format, ...) VORNICA_PRINTF(2, 3);
    int allocateBlock();
    void releaseBlock();
    template <class P>
    int formRuns(const P& policy, Entry*& entries, size_t& count, bool& inMemory);
    template <class P>
    bool writeEntries(const P& policy, Writer& writer, const Entry* entries, size_t count, std::string_view eol);
    template <class P>
    int mergeRuns(const P& policy);
    template <class P>
    int mergeGroup(const P& policy, const std::string* names, size_t count, Writer& writer, std::string_view eol,
                   const char* kind, const std::string& target);
    int createRun(std::string& name);
    // kind: "run" or "output", for the failure text.
    int finishFile(Writer& writer, const char* kind, const std::string& name);
    int openOutput(Writer& writer);
    void removeFile(const std::string& name);
    void removeWorkFiles();

    int inputFd_;
    const std::string& input_;
    const std::string& output_;
    const std::string& workDir_;
    const bool unique_;
    const uint64_t inputSize_;
    const uint64_t inputDevice_;
    const uint64_t inputInode_;
    const FileOwnership* const outputOwnership_;  // given to the output file; null: left as created
    const size_t maxLine_ = BatchSort::getMaxLineLength();

    char* block_ = nullptr;
    size_t blockSize_ = 0;
    bool mapped_ = false;
    char* outBuffer_ = nullptr;  // front of the block
    size_t outSize_ = 0;
    char* arena_ = nullptr;      // the rest: lines and index, later the merge's buffers
    size_t arenaSize_ = 0;

    std::vector<std::string> runs_;       // runs waiting to be merged, in input order
    std::vector<std::string> workFiles_;  // every work file that exists now
    unsigned runSequence_ = 0;
    int outputFd_ = -1;
    bool outputCreated_ = false;
    bool outputIsInput_ = false;
    bool failed_ = false;
    std::string error_;
    size_t runCount_ = 0;
    size_t mergePasses_ = 0;
};

int SortJob::fail(const char* format, ...) {
    if (!failed_) {  // the first failure is the one reported
        char text[2048];
        va_list args;
        va_start(args, format);
        vsnprintf(text, sizeof text, format, args);
        va_end(args);
        error_ = text;
    }
    failed_ = true;
    return -1;
}

int SortJob::allocateBlock() {
    const size_t budget = BatchSort::getMemoryBudget();
    const size_t minimum = minimumBudget(maxLine_);
    size_t size = budget;
    // A small file gets a small block: its lines, 16 bytes of index a line (32 for a derived
    // comparison) and room to read, so that it is sorted in one piece.
    if (inputSize_ > 0 && inputSize_ < budget / 40) size = std::max<size_t>(minimum, 40 * inputSize_ + minimum);
    size = roundUp(std::min(size, budget), 4096);
    if (size >= kMapThreshold) {
        void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p != MAP_FAILED) {
            ::madvise(p, size, MADV_HUGEPAGE);  // fewer first-touch faults where huge pages are offered
            block_ = static_cast<char*>(p);
            mapped_ = true;
        }
    } else {
        block_ = static_cast<char*>(::operator new[](size, std::align_val_t(kAlign), std::nothrow));
    }
    if (block_ == nullptr) return fail("not enough memory for a sort buffer of %zu bytes", size);
    blockSize_ = size;
    outSize_ = roundUp(std::clamp(size / 32, kMinOutBuffer, kMaxOutBuffer), kAlign);
    outBuffer_ = block_;
    arena_ = block_ + outSize_;
    arenaSize_ = (size - outSize_) / sizeof(Entry) * sizeof(Entry);
    return 0;
}

void SortJob::releaseBlock() {
    if (block_ == nullptr) return;
    if (mapped_)
        ::munmap(block_, blockSize_);
    else
        ::operator delete[](block_, std::align_val_t(kAlign));
    block_ = nullptr;
}

template <class P>
int SortJob::run(const P& policy) {
    if (allocateBlock() != 0) return -1;
    Entry* entries = nullptr;
    size_t count = 0;
    bool inMemory = false;
    if (formRuns(policy, entries, count, inMemory) != 0) return -1;
    if (!inMemory) return mergeRuns(policy);
    Writer writer;
    if (openOutput(writer) != 0) return -1;
    if (!writeEntries(policy, writer, entries, count, "\r\n"))
        return fail("cannot write output file '%s': %s", output_.c_str(), errnoText(errno).c_str());
    return finishFile(writer, "output", output_);
}

// Fills the arena with lines and their index, sorts, writes a run, and again until the input
// ends. When the whole input fits at once nothing is written: inMemory, with the sorted entries.
template <class P>
int SortJob::formRuns(const P& policy, Entry*& entries, size_t& count, bool& inMemory) {
    char* const base = arena_;
    const size_t top = arenaSize_;
    // The free space a run of n lines must keep for sorting them (and, with keys, for
    // gathering their entries on a 16-byte boundary).
    const auto reserved = [](size_t n) { return n * P::kExtra + (P::kLineKeys ? sizeof(Entry) : 0); };
    std::string key;         // the key of the line being indexed
    bool keyMade = false;    // key is that of the line at lineStart, which did not fit the last run
    size_t rawEnd = 0;     // bytes read: [0, rawEnd)
    size_t lineStart = 0;  // the first byte not indexed yet
    bool eof = false;
    uint64_t lineNumber = 0;
    for (;;) {
        size_t indexTop = top;  // the index: [indexTop, top), growing down
        size_t n = 0;
        bool full = false;
        for (;;) {
            while (lineStart < rawEnd) {
                const char* start = base + lineStart;
                const void* nl = std::memchr(start, '\n', rawEnd - lineStart);
                if (nl == nullptr && !eof) break;
                size_t length = nl != nullptr ? static_cast<size_t>(static_cast<const char*>(nl) - start) : rawEnd - lineStart;
                const size_t next = lineStart + length + (nl != nullptr ? 1 : 0);
                if (length > 0 && start[length - 1] == '\r') --length;
                if (length > maxLine_)
                    return fail("line %llu of '%s' is longer than the line limit of %zu bytes",
                                static_cast<unsigned long long>(lineNumber + 1), input_.c_str(), maxLine_);
                size_t keyRoom = 0;  // the line's key, in whole entries, below its entry
                if constexpr (P::kLineKeys) {
                    if (!keyMade) policy.makeKey(std::string_view(start, length), key);
                    keyMade = true;
                    keyRoom = roundUp(key.size(), sizeof(Entry));
                }
                if (indexTop - rawEnd < sizeof(Entry) + keyRoom + reserved(n + 1)) {
                    full = true;
                    break;
                }
                indexTop -= sizeof(Entry) + keyRoom;
                Entry* e = reinterpret_cast<Entry*>(base + indexTop + keyRoom);
                if constexpr (P::kLineKeys) {
                    std::memcpy(base + indexTop, key.data(), key.size());
                    e->key = uint64_t(indexTop) << 32 | uint32_t(key.size());
                    keyMade = false;
                } else {
                    e->key = P::key(reinterpret_cast<const unsigned char*>(start), length);
                }
                e->offset = static_cast<uint32_t>(lineStart);
                e->length = static_cast<uint32_t>(length);
                ++n;
                ++lineNumber;
                lineStart = next;
            }
            if (full || (eof && lineStart == rawEnd)) break;
            if (rawEnd - lineStart > maxLine_ + 1)  // no line feed in sight: longer than the limit even with a CR
                return fail("line %llu of '%s' is longer than the line limit of %zu bytes",
                            static_cast<unsigned long long>(lineNumber + 1), input_.c_str(), maxLine_);
            const size_t free = indexTop - rawEnd - std::min(indexTop - rawEnd, reserved(n));
            if (free == 0) {
                full = true;
                break;
            }
            const size_t want = free >= 2 * kSmallRead ? std::min(kReadChunk, free / 2) : free;
            ssize_t got = readSome(inputFd_, base + rawEnd, want);
            if (got < 0) return fail("cannot read input file '%s': %s", input_.c_str(), errnoText(errno).c_str());
            if (got == 0)
                eof = true;
            else
                rawEnd += static_cast<size_t>(got);
        }
        if (full && n == 0) return fail("sort buffer of %zu bytes too small for one line", arenaSize_);
        const bool last = eof && lineStart == rawEnd;

        count = n;
        if constexpr (P::kKeys) {
            entries = reinterpret_cast<Entry*>(base + indexTop);
            std::sort(entries, entries + n, [&](const Entry& x, const Entry& y) { return policy.less(x, y, base); });
        } else {
            Entry* tmp;
            if constexpr (P::kLineKeys) {
                // Gather the entries, each above its key, into one array after the lines.
                entries = reinterpret_cast<Entry*>(base + roundUp(rawEnd, sizeof(Entry)));
                tmp = entries + n;
                for (size_t i = 0, at = top; i < n; ++i) {
                    at -= sizeof(Entry);
                    entries[i] = *reinterpret_cast<const Entry*>(base + at);
                    at -= roundUp(static_cast<uint32_t>(entries[i].key), sizeof(Entry));
                }
            } else {
                entries = reinterpret_cast<Entry*>(base + indexTop);
                tmp = reinterpret_cast<Entry*>(base + indexTop - n * sizeof(Entry));
            }
            mergeSort(entries, tmp, n, [&](const Entry& x, const Entry& y) { return policy.less(x, y, base); });
        }
        if (last && runCount_ == 0) {
            inMemory = true;
            return 0;
        }
        std::string name;
        if (createRun(name) != 0) return -1;
        Writer writer{outputFd_, outBuffer_, outSize_, 0};
        if (!writeEntries(policy, writer, entries, n, "\n"))
            return fail("cannot write run file '%s': %s", name.c_str(), errnoText(errno).c_str());
        if (finishFile(writer, "run", name) != 0) return -1;
        runs_.push_back(name);
        ++runCount_;
        if (last) return 0;
        // What was read but not indexed starts the next run.
        std::memmove(base, base + lineStart, rawEnd - lineStart);
        rawEnd -= lineStart;
        lineStart = 0;
    }
}

template <class P>
bool SortJob::writeEntries(const P& policy, Writer& writer, const Entry* entries, size_t count, std::string_view eol) {
    const char* base = arena_;
    const Entry* previous = nullptr;
    for (size_t i = 0; i < count; ++i) {
        if (unique_) {
            if (previous != nullptr && policy.cmpEntries(*previous, entries[i], base) == 0) continue;
            previous = &entries[i];
        }
        if (!writer.put(base + entries[i].offset, entries[i].length) || !writer.put(eol.data(), eol.size())) return false;
    }
    return true;
}

template <class P>
int SortJob::mergeRuns(const P& policy) {
    // The input is all in the runs now.
    ::close(inputFd_);
    inputFd_ = -1;
    const size_t previousSize = unique_ ? roundUp(maxLine_ + 2, kAlign) : 0;
    const size_t minReader = roundUp(2 * (maxLine_ + 2), kAlign);
    const size_t fanIn = std::min(BatchSort::kMaxFanIn, (arenaSize_ - previousSize) / minReader);
    if (fanIn < 2) return fail("sort buffer of %zu bytes too small to merge", arenaSize_);
    // Passes before the last merge only as much as leaves fanIn runs: groups of consecutive
    // runs, so that the runs stay in input order.
    while (runs_.size() > fanIn) {
        ++mergePasses_;
        size_t excess = runs_.size() - fanIn;
        std::vector<std::string> merged;
        for (size_t i = 0, k; i < runs_.size(); i += k) {
            k = std::min({fanIn, excess + 1, runs_.size() - i});
            if (k == 1) {  // goes on as it is
                merged.push_back(runs_[i]);
                continue;
            }
            excess -= k - 1;
            std::string name;
            if (createRun(name) != 0) return -1;
            Writer writer{outputFd_, outBuffer_, outSize_, 0};
            if (mergeGroup(policy, &runs_[i], k, writer, "\n", "run", name) != 0) return -1;
            if (finishFile(writer, "run", name) != 0) return -1;
            for (size_t j = i; j < i + k; ++j) removeFile(runs_[j]);
            merged.push_back(name);
        }
        runs_.swap(merged);
    }
    ++mergePasses_;
    Writer writer;
    if (openOutput(writer) != 0) return -1;
    if (mergeGroup(policy, runs_.data(), runs_.size(), writer, "\r\n", "output", output_) != 0) return -1;
    if (finishFile(writer, "output", output_) != 0) return -1;
    for (const std::string& name : runs_) removeFile(name);
    runs_.clear();
    return 0;
}

// Merges count runs into writer. Lines that compare equal come out in run order, and the runs
// are in input order, so the merge keeps the sort stable. With keys, each reader keeps the key
// of its current line (made once as the line is read) and the unique check the previous one's.
template <class P>
int SortJob::mergeGroup(const P& policy, const std::string* names, size_t count, Writer& writer, std::string_view eol,
                        const char* kind, const std::string& target) {
    char* area = arena_;
    size_t areaSize = arenaSize_;
    char* previous = nullptr;
    size_t previousLength = 0;
    bool havePrevious = false;
    if (unique_) {
        previous = area;
        const size_t previousSize = roundUp(maxLine_ + 2, kAlign);
        area += previousSize;
        areaSize -= previousSize;
    }
    const size_t readerSize = areaSize / count / kAlign * kAlign;
    std::vector<RunReader> readers(count);
    std::vector<std::string> keys(P::kLineKeys ? count : 0);
    std::string previousKey;
    const auto readNext = [&](size_t i) {
        int got = readers[i].next();
        if constexpr (P::kLineKeys) {
            if (got == 1) policy.makeKey(readers[i].line, keys[i]);
        }
        return got;
    };
    const auto keyOf = [&](size_t i) { return P::kLineKeys ? std::string_view(keys[i]) : std::string_view(); };
    std::vector<uint32_t> heap;
    heap.reserve(count);
    auto readFailed = [&](size_t i) {
        return fail("cannot read run file '%s': %s", names[i].c_str(),
                    errno != 0 ? errnoText(errno).c_str() : "damaged run file");
    };
    for (size_t i = 0; i < count; ++i) {
        RunReader& r = readers[i];
        r.fd = ::open(names[i].c_str(), O_RDONLY | O_CLOEXEC);
        if (r.fd < 0) return fail("cannot open run file '%s': %s", names[i].c_str(), errnoText(errno).c_str());
        ::posix_fadvise(r.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        r.buffer = area + i * readerSize;
        r.capacity = readerSize;
        int got = readNext(i);
        if (got < 0) return readFailed(i);
        if (got == 1) heap.push_back(static_cast<uint32_t>(i));
    }
    auto before = [&](uint32_t a, uint32_t b) {
        int c = policy.cmpKeyed(readers[a].line, keyOf(a), readers[b].line, keyOf(b));
        return c != 0 ? c < 0 : a < b;
    };
    auto siftDown = [&](size_t at) {
        const size_t size = heap.size();
        const uint32_t moving = heap[at];
        for (;;) {
            size_t child = 2 * at + 1;
            if (child >= size) break;
            if (child + 1 < size && before(heap[child + 1], heap[child])) ++child;
            if (!before(heap[child], moving)) break;
            heap[at] = heap[child];
            at = child;
        }
        heap[at] = moving;
    };
    for (size_t i = heap.size() / 2; i-- > 0;) siftDown(i);
    while (!heap.empty()) {
        const uint32_t i = heap[0];
        const std::string_view line = readers[i].line;
        if (!unique_ || !havePrevious ||
            policy.cmpKeyed(std::string_view(previous, previousLength), previousKey, line, keyOf(i)) != 0) {
            if (!writer.put(line.data(), line.size()) || !writer.put(eol.data(), eol.size()))
                return fail("cannot write %s file '%s': %s", kind, target.c_str(), errnoText(errno).c_str());
            if (unique_) {
                std::memcpy(previous, line.data(), line.size());
                previousLength = line.size();
                previousKey = keyOf(i);
                havePrevious = true;
            }
        }
        int got = readNext(i);
        if (got < 0) return readFailed(i);
        if (got == 0) {
            heap[0] = heap.back();
            heap.pop_back();
        }
        if (!heap.empty()) siftDown(0);
    }
    return 0;
}

int SortJob::createRun(std::string& name) {
    for (int attempt = 0; attempt < kRunNameAttempts; ++attempt) {
        name = workDir_ + "/BatchSort." + std::to_string(::getpid()) + "." + std::to_string(runSequence_++) + ".run";
        outputFd_ = sys::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (outputFd_ >= 0) {
            workFiles_.push_back(name);
            return 0;
        }
        if (errno != EEXIST) break;  // EEXIST: left behind by an earlier process of the same id
    }
    return fail("cannot create run file '%s': %s", name.c_str(), errnoText(errno).c_str());
}

int SortJob::openOutput(Writer& writer) {
    if (inputFd_ >= 0) {
        ::close(inputFd_);
        inputFd_ = -1;
    }
    // A symbolic link at the output's name is refused, never written through: the output's
    // directory may be writable by others, and the link's target could be any file this process
    // may write. Without O_NONBLOCK a FIFO there would hold the open until a reader came.
    outputFd_ = sys::open(output_.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                          outputOwnership_ != nullptr ? 0600 : 0666);
    if (outputFd_ < 0) return fail("cannot create output file '%s': %s", output_.c_str(), errnoText(errno).c_str());
    struct stat st {};
    if (::fstat(outputFd_, &st) != 0 || !S_ISREG(st.st_mode))
        return fail("cannot create output file '%s': %s", output_.c_str(), "not a regular file");
    outputCreated_ = true;
    outputIsInput_ = uint64_t(st.st_dev) == inputDevice_ && uint64_t(st.st_ino) == inputInode_;
    if (sys::ftruncate(outputFd_, 0) != 0)
        return fail("cannot create output file '%s': %s", output_.c_str(), errnoText(errno).c_str());
    // The output takes the input's mode and owner before it holds a byte of the input.
    if (!outputIsInput_ && outputOwnership_ != nullptr) {
        if (int error = giveOwnership(outputFd_, *outputOwnership_); error != 0)
            return fail("cannot give output file '%s' the mode and owner of the input: %s", output_.c_str(),
                        errnoText(error).c_str());
    }
    writer = Writer{outputFd_, outBuffer_, outSize_, 0};
    return 0;
}

// Flushes and closes the file being written (a run or the output).
int SortJob::finishFile(Writer& writer, const char* kind, const std::string& name) {
    const bool flushed = writer.flush();
    const int error = errno;
    const int closed = ::close(outputFd_);
    outputFd_ = -1;
    if (!flushed || closed != 0)
        return fail("cannot write %s file '%s': %s", kind, name.c_str(), errnoText(flushed ? errno : error).c_str());
    return 0;
}

void SortJob::removeFile(const std::string& name) {
    sys::unlink(name.c_str());
    auto it = std::find(workFiles_.begin(), workFiles_.end(), name);
    if (it != workFiles_.end()) workFiles_.erase(it);
}

void SortJob::removeWorkFiles() {
    for (const std::string& name : workFiles_) sys::unlink(name.c_str());
    workFiles_.clear();
}
}  // namespace

void BatchSort::setLimits(size_t memoryBudget, size_t maxLineLength) {
    budgetSetting = memoryBudget;
    lineLimitSetting = maxLineLength;
}

size_t BatchSort::getMaxLineLength() {
    const size_t limit = lineLimitSetting.load();
    // The line limit can be no more than a sixteenth of the largest budget.
    return std::min(limit != 0 ? limit : kDefaultMaxLineLength, kMaxMemoryBudget / 16);
}

size_t BatchSort::getMemoryBudget() {
    const size_t budget = budgetSetting.load();
    const size_t clamped = std::clamp(budget != 0 ? budget : kDefaultMemoryBudget, minimumBudget(getMaxLineLength()),
                                      kMaxMemoryBudget);
    return clamped / 4096 * 4096;  // whole pages; the minimum is one
}

BatchSort::BatchSort() = default;

BatchSort::~BatchSort() { closeInput(); }

void BatchSort::closeInput() {
    if (inputFd_ >= 0) ::close(inputFd_);
    inputFd_ = -1;
}

int BatchSort::init(const char* inputFile, const char* outputFile, const char* workDir, int ascending, int flag2,
                    int flag3, long /*reserved*/) {
    closeInput();
    clearFatalErrMsg();
    runCount_ = mergePasses_ = bufferSize_ = 0;
    if (inputFile == nullptr || outputFile == nullptr || workDir == nullptr || *inputFile == '\0' ||
        *outputFile == '\0' || *workDir == '\0')
        return setFatalErrMsg("an input file, an output file and a work directory must be given");
    inputFile_ = inputFile;
    outputFile_ = outputFile;
    workDir_ = workDir;
    ascending_ = ascending != 0;
    unique_ = flag2 != 0;
    caseInsensitive_ = flag3 != 0;

    struct stat st {};
    if (::stat(workDir, &st) != 0)
        return setFatalErrMsg("cannot use work directory '%s': %s", workDir, errnoText(errno).c_str());
    if (!S_ISDIR(st.st_mode)) return setFatalErrMsg("work directory '%s' is not a directory", workDir);
    if (::access(workDir, W_OK | X_OK) != 0)
        return setFatalErrMsg("cannot write to work directory '%s': %s", workDir, errnoText(errno).c_str());

    int fd = ::open(inputFile, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return setFatalErrMsg("cannot open input file '%s': %s", inputFile, errnoText(errno).c_str());
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        const int error = S_ISDIR(st.st_mode) ? EISDIR : errno;
        ::close(fd);
        return setFatalErrMsg("cannot read input file '%s': %s", inputFile, errnoText(error).c_str());
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    inputFd_ = fd;
    inputSize_ = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    inputIsRegular_ = S_ISREG(st.st_mode) && ownershipOfDescriptor(fd, inputOwnership_) == 0;
    inputDevice_ = static_cast<uint64_t>(st.st_dev);
    inputInode_ = static_cast<uint64_t>(st.st_ino);
    return 0;
}

int BatchSort::sort() {
    if (inputFd_ < 0) return setFatalErrMsg("sort without a successful init");
    clearFatalErrMsg();
    const int fd = inputFd_;
    inputFd_ = -1;  // the job closes it
    SortJob job(fd, inputFile_, outputFile_, workDir_, unique_, inputSize_, inputDevice_, inputInode_,
                inputIsRegular_ ? &inputOwnership_ : nullptr);
    int result;
    // The default comparison is inlined; a derived class's comparison is called for each pair.
    if (typeid(*this) == typeid(BatchSort)) {
        if (ascending_)
            result = caseInsensitive_ ? job.run(BytePolicy<false, true>{}) : job.run(BytePolicy<false, false>{});
        else
            result = caseInsensitive_ ? job.run(BytePolicy<true, true>{}) : job.run(BytePolicy<true, false>{});
    } else if (usesKeys()) {
        result = job.run(KeyedPolicy{this});
    } else {
        result = job.run(VirtualPolicy{this});
    }
    runCount_ = job.runCount();
    mergePasses_ = job.mergePasses();
    bufferSize_ = job.blockSize();
    if (result != 0) return setFatalErrMsg("%s", job.error().c_str());
    return 0;
}

int BatchSort::compare(std::string_view a, std::string_view b) {
    if (ascending_)
        return caseInsensitive_ ? BytePolicy<false, true>::ordered(a, b) : BytePolicy<false, false>::ordered(a, b);
    return caseInsensitive_ ? BytePolicy<true, true>::ordered(a, b) : BytePolicy<true, false>::ordered(a, b);
}
