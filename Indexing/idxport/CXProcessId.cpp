#include "Indexing/idxport/CXProcessId.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>

namespace {
// Seconds from 1 January 1601 to 1 January 1970.
constexpr uint64_t kEpochDifference = 11644473600ULL;
constexpr uint64_t kUnitsPerSecond = 10000000ULL;  // 100 ns units

// How far reading a process's record got.
enum class ProcStatus {
    ok,
    gone,          // no such process
    openFailed,    // the record exists but cannot be opened
    readFailed,    // it cannot be read, or its state cannot be found in it
    timesFailed,   // its start time (or the boot time) cannot be found
};

struct ProcessRecord {
    char state = '?';
    uint64_t creation = 0;  // 100 ns units since 1601
};

std::atomic<int64_t> bootTimeShift{0};

// "btime" of /proc/stat: the boot time in seconds since 1970. The kernel renders all of
// /proc/stat (every processor's and interrupt's counters) for it, which costs more than the
// process record it goes with; the reserve file checks every line's process under its lock, so
// a value read less than a second ago serves. It moves only with a step of the system clock,
// and the comparison of starts (sameStart) allows for such steps.
bool readBootTimeUncached(uint64_t* bootTime) {
    FILE* file = fopen("/proc/stat", "re");
    if (file == nullptr) return false;
    char* line = nullptr;
    size_t capacity = 0;
    bool found = false;
    while (!found && getline(&line, &capacity, file) > 0) {
        if (strncmp(line, "btime ", 6) != 0) continue;
        char* end = nullptr;
        errno = 0;
        unsigned long long value = strtoull(line + 6, &end, 10);
        found = end != line + 6 && errno == 0;
        *bootTime = value;
    }
    int error = found ? 0 : ferror(file) != 0 ? errno : EINVAL;
    free(line);
    fclose(file);
    errno = error;
    return found;
}

constexpr int64_t kBootTimeReuseNs = 1000000000;
std::atomic<uint64_t> cachedBootTime{0};
std::atomic<int64_t> cachedBootTimeAt{INT64_MIN};  // monotonic ns of the read

int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

bool readBootTime(uint64_t* bootTime) {
    const int64_t now = monotonicNs();
    const int64_t at = cachedBootTimeAt.load(std::memory_order_acquire);
    uint64_t raw = cachedBootTime.load(std::memory_order_acquire);
    if (at == INT64_MIN || now - at >= kBootTimeReuseNs || now < at) {
        if (!readBootTimeUncached(&raw)) return false;
        cachedBootTime.store(raw, std::memory_order_release);
        cachedBootTimeAt.store(now, std::memory_order_release);
    }
    *bootTime = raw + static_cast<uint64_t>(bootTimeShift.load());
    return true;
}

// 100 ns units in one clock tick; 0 where a tick is no whole number of them.
uint64_t unitsPerTick() {
    long hz = sysconf(_SC_CLK_TCK);
    return hz > 0 && kUnitsPerSecond % static_cast<uint64_t>(hz) == 0 ? kUnitsPerSecond / static_cast<uint64_t>(hz)
                                                                     : 0;
}

// Start ticks after boot as 100 ns units since 1601. Below the tick, the units hold the tick
// count modulo the units of a tick: the time of day of a start moves with the boot time, but
// what lies below its second then still tells the very start apart (see sameStart).
uint64_t creationTime(uint64_t bootTime, uint64_t ticks) {
    const uint64_t boot = (bootTime + kEpochDifference) * kUnitsPerSecond;
    const uint64_t perTick = unitsPerTick();
    if (perTick != 0) return boot + ticks * perTick + ticks % perTick;
    const uint64_t hz = static_cast<uint64_t>(sysconf(_SC_CLK_TCK) > 0 ? sysconf(_SC_CLK_TCK) : 100);
    return boot + ticks / hz * kUnitsPerSecond + ticks % hz * kUnitsPerSecond / hz;
}

// Whether a stored creation time names the process whose creation time reads `current` now.
// The boot time ("btime", whole seconds) moves with every step of the system clock and may read
// a second apart now and then, so a live process's time of day can differ from what was stored
// by whole seconds. A stored time that carries the tick count below its tick must match the
// current one below the second; one without it (written before, or a count that is a multiple
// of it) may differ by one second either way.
bool sameStart(uint64_t stored, uint64_t current) {
    const uint64_t perTick = unitsPerTick();
    if (perTick != 0 && stored % perTick != 0)
        return (stored > current ? stored - current : current - stored) % kUnitsPerSecond == 0;
    if (perTick != 0) current -= current % perTick;
    return (stored > current ? stored - current : current - stored) <= kUnitsPerSecond;
}

// Reads /proc/<pid>/stat: the state (field 3) and the start time (field 22). errno tells why
// a step failed.
ProcStatus readProcessRecord(uint32_t pid, ProcessRecord* record) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%lu/stat", static_cast<unsigned long>(pid));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT || errno == ESRCH ? ProcStatus::gone : ProcStatus::openFailed;
    char text[4096];
    size_t used = 0;
    for (;;) {
        ssize_t n = read(fd, text + used, sizeof text - 1 - used);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int error = errno;
            close(fd);
            errno = error;
            return error == ESRCH ? ProcStatus::gone : ProcStatus::readFailed;  // ended meanwhile
        }
        used += static_cast<size_t>(n);
        if (n == 0 || used == sizeof text - 1) break;
    }
    close(fd);
    text[used] = '\0';
    // "pid (name) state ppid ...": the name may hold blanks and parentheses of its own, so the
    // fields start after the last ')'.
    const char* close = strrchr(text, ')');
    if (close == nullptr || close[1] != ' ' || close[2] == '\0') {
        errno = EINVAL;
        return ProcStatus::readFailed;
    }
    record->state = close[2];
    const char* field = close + 3;
    for (int skip = 4; skip <= 21 && field != nullptr; ++skip) {
        field = strchr(field + 1, ' ');
    }
    if (field == nullptr || field[1] < '0' || field[1] > '9') {
        errno = EINVAL;
        return ProcStatus::timesFailed;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long long ticks = strtoull(field + 1, &end, 10);
    if (errno != 0 || (*end != ' ' && *end != '\n' && *end != '\0')) {
        if (errno == 0) errno = EINVAL;
        return ProcStatus::timesFailed;
    }
    uint64_t bootTime = 0;
    if (!readBootTime(&bootTime)) return ProcStatus::timesFailed;
    record->creation = creationTime(bootTime, ticks);
    return ProcStatus::ok;
}

// One decimal number of at most 32 bits, digits only; advances text past it.
bool parseNumber(const char*& text, uint32_t* value) {
    if (*text < '0' || *text > '9') return false;
    uint64_t number = 0;
    while (*text >= '0' && *text <= '9') {
        number = number * 10 + static_cast<uint64_t>(*text - '0');
        if (number > UINT32_MAX) return false;
        ++text;
    }
    *value = static_cast<uint32_t>(number);
    return true;
}
}  // namespace

CXProcessId::CXProcessId() { setDebugPrefix("PROCESSID"); }

void CXProcessId::setBootTimeShift(int64_t seconds) { bootTimeShift.store(seconds); }

void CXProcessId::thisProcess() {
    pid_ = static_cast<uint32_t>(getpid());
    initialized_ = 1;
    thisProcess_ = 1;
}

int CXProcessId::setIdString(const char* text) {
    // Stricter than reading three numbers with a scanner, which would take "1/2/3xyz", signs,
    // blanks and numbers beyond 32 bits (silently cut) for a valid id.
    uint32_t pid = 0, high = 0, low = 0;
    const char* p = text;
    bool valid = p != nullptr && parseNumber(p, &pid) && *p++ == '/' && parseNumber(p, &high) && *p++ == '/' &&
                 parseNumber(p, &low) && *p == '\0';
    thisProcess_ = 0;
    if (!valid) {
        initialized_ = 0;
        debug(1, "setIdString: invalid id string %s\n", text != nullptr ? text : "(null)");
        return -1;
    }
    pid_ = pid;
    creationHigh_ = high;
    creationLow_ = low;
    initialized_ = 1;
    return 0;
}

char* CXProcessId::getIdString() {
    if (initialized_ == 0) {
        debug(1, "getIdString: not initialized\n");
        return nullptr;
    }
    if (thisProcess_ != 0) {
        ProcessRecord record;
        if (readProcessRecord(pid_, &record) != ProcStatus::ok) {
            debug(1, "getIdString: GetProcessTimes pid %lu failed with code %d\n", static_cast<unsigned long>(pid_),
                  errno);
            return nullptr;
        }
        creationHigh_ = static_cast<uint32_t>(record.creation >> 32);
        creationLow_ = static_cast<uint32_t>(record.creation);
    }
    snprintf(idString_, sizeof idString_, "%lu/%lu/%lu", static_cast<unsigned long>(pid_),
             static_cast<unsigned long>(creationHigh_), static_cast<unsigned long>(creationLow_));
    return idString_;
}

// The record of a process that has the id now: 1 read (the process lives), 0 no such process
// (or ended, waiting to be reaped), -1 cannot tell, logged through log.
static int liveRecord(uint32_t pid, ProcessRecord& record, TDebuggable& log) {
    const unsigned long id = pid;
    // No process has id 0, and ids beyond INT_MAX cannot exist (nor be given to kill below,
    // where a negative number would name a process group).
    if (pid == 0 || pid > INT_MAX) return 0;
    switch (readProcessRecord(pid, &record)) {
        case ProcStatus::gone: {
            // /proc may hide other users' processes (mount option hidepid): a missing record
            // means "no such process" only when the process cannot be signalled for lack of it.
            int error = errno;
            if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return 0;
            log.debug(1, "isRunning: OpenProcess pid %lu failed, code %d\n", id, error);
            return -1;
        }
        case ProcStatus::openFailed:
            log.debug(1, "isRunning: OpenProcess pid %lu failed, code %d\n", id, errno);
            return -1;
        case ProcStatus::readFailed:
            log.debug(1, "isRunning: GetExitCodeProcess pid %lu failed, code %d\n", id, errno);
            return -1;
        case ProcStatus::timesFailed:
            log.debug(1, "isRunning: GetProcessTimes pid %lu failed with code %d\n", id, errno);
            return -1;
        case ProcStatus::ok:
            break;
    }
    return record.state == 'Z' || record.state == 'X' ? 0 : 1;
}

int CXProcessId::isRunning() {
    if (initialized_ == 0) {
        debug(1, "getIdString: not initialized\n");
        return -1;
    }
    if (thisProcess_ != 0) return 1;
    ProcessRecord record;
    const int live = liveRecord(pid_, record, *this);
    if (live != 1) return live;
    uint64_t stored = (static_cast<uint64_t>(creationHigh_) << 32) | creationLow_;
    return sameStart(stored, record.creation) ? 1 : 0;
}

int CXProcessId::pidRuns(unsigned long pid) {
    if (pid > UINT32_MAX) return 0;
    CXProcessId log;
    ProcessRecord record;
    return liveRecord(static_cast<uint32_t>(pid), record, log);
}
