// Space reservation: before a job writes much into its cache directory it reserves the space in
// the reserve file that every process and machine using the volume shares, so that nobody counts
// space another has promised to write as free. A process keeps one line there, rewritten under
// the file's exclusive lock; a reserve buffer in memory holds the bytes of that line not yet
// handed out, so that most requests never touch the file.
//
// A transaction reads the whole file under the lock and builds the whole new content before the
// file is changed: a read error fails it with the file untouched, and a failed write puts the old
// bytes back, so that no other process's reservation is ever lost. The lock is never held through
// a cleanup; the file is read again and the space measured again afterwards, and a request is
// granted only when free space less what the others reserved holds it.
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "Indexing/cacheFs/JobResultsCacheFs.h"
#include "Indexing/cacheFs/ReserveFileLines.h"
#include "Indexing/icommon/JobControlHelpers.h"
#include "Indexing/icommon/SafeFileOps.h"
#include "Indexing/idxport/CXCritSect.h"
#include "Indexing/idxport/CXFile.h"
#include "Indexing/idxport/CXProcessId.h"
#include "Indexing/idxport/PathSep.h"
#include "Platform/KRSessionTypes.h"

namespace {
constexpr uint64_t kRequestPadBytes = 2500000;  // added to every request that goes to the file
constexpr long kMaxBlocks = INT32_MAX;          // a line's blocks are a signed 32-bit number
// The reserve file's lock is held for a read and a rewrite of a few lines: a waiter takes it as
// it is released. Where the wait has to poll, it tries every 4 ms at first, then (a holder that
// keeps it for 10 seconds is stuck or slow) every 100 ms. The whole wait is the same 30
// minutes as ever.
constexpr unsigned long kLockWaitMs = 1800UL * 1000;
constexpr LockPacing kLockPacing{10000, 100};
constexpr int kMaxReopens = 181;  // a file replaced under every grant is given up on
constexpr int64_t kLineLifetime = 86400;  // any writer drops a line older than a day
constexpr int64_t kReassertAge = 43200;   // so the own line is written again when half that old
constexpr int64_t kClockReadInterval = 3600;
constexpr uint32_t kMaxEventsPerKind = 12;
constexpr int kPendingNoSpace = 0xE00007B;
constexpr int kReservationFailedEvent = 0xE00004D;
constexpr int kTraceLevel = 0x80000;

// Process-wide, under cacheFsCritSect().
enum class Enablement { undecided, off, on };
Enablement reserveEnabled = Enablement::undecided;
std::string hostIdString;

// What the process holds in one reserve file. A process may write into several volumes, each
// with a reserve file of its own: the buffer of one must never serve a request on another.
struct ReserveFileState {
    uint64_t buffer = 0;    // bytes of the own line not yet handed out
    int32_t ownBlocks = 0;  // blocks of the own line written last; 0: no line
    uint32_t ownTime = 0;   // the time written into it
};

std::map<std::string, ReserveFileState>& reserveFileStates() {
    static auto* states = new std::map<std::string, ReserveFileState>;  // outlives static objects
    return *states;
}

ReserveFileState& reserveFileState(const std::string& path) { return reserveFileStates()[path]; }

// The process-wide section as this file's functions hold it: the depth lets a lock wait leave
// all of this thread's entries for its sleeps and take them again after. An entry made outside
// this file (the last object's destructor giving the lines back) is not counted and stays held.
thread_local int sectionDepth = 0;

class Section {
public:
    Section() {
        cacheFsCritSect().lock();
        ++sectionDepth;
    }
    ~Section() {
        --sectionDepth;
        cacheFsCritSect().unlock();
    }
    Section(const Section&) = delete;
    Section& operator=(const Section&) = delete;
};

class SectionLeft {
public:
    SectionLeft() : depth_(sectionDepth) {
        for (int i = 0; i < depth_; ++i) cacheFsCritSect().unlock();
        sectionDepth = 0;
    }
    ~SectionLeft() {
        for (int i = 0; i < depth_; ++i) cacheFsCritSect().lock();
        sectionDepth = depth_;
    }
    SectionLeft(const SectionLeft&) = delete;
    SectionLeft& operator=(const SectionLeft&) = delete;

private:
    const int depth_;
};

const char* orNull(const char* text) { return text != nullptr ? text : "NULL"; }
}  // namespace

// One read-modify-write of the reserve file by one object.
class ReserveTransaction {
public:
    ReserveTransaction(JobResultsCacheFs& cache, const std::string& path, long numBlocks)
        : fs_(cache), pathText_(path), numBlocks_(numBlocks) {}

    // releaseAll drops the process's line; reassert writes it again unchanged but for its time.
    int run(unsigned long talCell, unsigned long appNumber, unsigned long timeStamp, bool releaseAll, bool reassert);
    // The reference clock: read at most once an hour per object, extrapolated with the local
    // clock in between.
    static uint32_t referenceNow(JobResultsCacheFs& fs);

private:
    struct Kept {
        ReserveLine line;
        bool local;
    };

    [[noreturn]] void fail(const char* text, int error) {
        error_ = error;
        JobResultsCacheFs::fail(text);
    }
    void openFile();
    void lockFile();
    void readAndScan();
    bool keepsLine(const ReserveLine& line, const std::string& text);
    bool isOwnLine(const ReserveLine& line) const;
    int64_t measureAvailable();
    std::string newContent(bool withOwnLine, int32_t ownBlocks);
    void writeFile(const std::string& content);
    void endFile();

    JobResultsCacheFs& fs_;
    const std::string pathText_;
    const char* const path_ = pathText_.c_str();
    long numBlocks_;
    int error_ = 0;
    CXFile file_;
    std::string myId_;
    unsigned long myPid_ = 0;
    uint32_t curTime_ = 0;
    std::string old_;         // the file as read under the lock
    std::vector<Kept> kept_;  // other processes' lines, in file order
    uint64_t others_ = 0;     // their blocks
};

uint32_t ReserveTransaction::referenceNow(JobResultsCacheFs& fs) {
    const uint32_t now = JobResultsCacheFs::getCurrentTime();
    const int64_t delta = std::llabs(static_cast<int64_t>(now) - fs.localTimeAtSync_);
    uint32_t current;
    if (fs.referenceTime_ == 0 || delta > kClockReadInterval) {
        fs.referenceTime_ = JobResultsCacheFs::getCurrentTime();
        fs.localTimeAtSync_ = JobResultsCacheFs::getCurrentTime();
        if (fs.referenceTime_ == 0) {
            fs.debug(1, "reserveOnDisk: unable to get TS time, using MA time instead\n");
            fs.referenceTime_ = fs.localTimeAtSync_;
        }
        current = fs.referenceTime_;
    } else {
        current = now + (fs.referenceTime_ - fs.localTimeAtSync_);
    }
    fs.debug(kTraceLevel, "reserveOnDisk: tsTime=%ld, maTime=%ld, curTime=%ld, deltaTime=%ld",
             static_cast<long>(fs.referenceTime_), static_cast<long>(fs.localTimeAtSync_), static_cast<long>(current),
             static_cast<long>(delta));
    return current;
}

void ReserveTransaction::openFile() {
    // Other accounts of the product lock and rewrite the same file: created 0666 less the umask.
    if (file_.open(path_, sfOpenOrCreate, 0, 0666, sfRegularFileOnly) == 0) return;
    const char* lastSep = strrchr(path_, kPathSep);
    if (lastSep != nullptr && lastSep != path_) {
        const std::string dir(path_, static_cast<size_t>(lastSep - path_));
        recursiveMkdir(dir.c_str(), 0755);
        if (file_.open(path_, sfOpenOrCreate, 0, 0666, sfRegularFileOnly) == 0) return;
    }
    fs_.debug(1, "cannot open reserve file %s, code %d\n", path_, file_.getLastError());
    fail("open reserveFile failed", file_.getLastError());
}

// The process-wide section is left for the wait, so that the process's other threads go on
// while this one waits; every transaction decides from what it reads under the file's lock, never
// from what it saw before the wait. A grant on a file that another process replaced or removed
// meanwhile guards nothing: open again at once, and wait the rest of the 30 minutes there.
void ReserveTransaction::lockFile() {
    openFile();
    unsigned long waited = 0;
    for (int reopened = 0;;) {
        int locked;
        {
            SectionLeft away;
            locked = file_.lockWithin(sfLockExclusive, kLockWaitMs, waited, kLockPacing);
        }
        if (locked == 1 && file_.isStillAt(path_)) return;
        const int error = file_.getLastError();
        if (locked == 1 && ++reopened < kMaxReopens) {
            file_.close();
            openFile();
            continue;
        }
        file_.close();
        fs_.debug(1, "lock %s for reserve file %s, code %d\n", locked == 0 ? "timed out" : "failed", path_, error);
        fail("lock reserveFile failed", error);
    }
}

void ReserveTransaction::readAndScan() {
    kept_.clear();
    others_ = 0;
    if (file_.readWhole(old_) != 0) {
        fs_.debug(1, "getLine from %s failed, code %d\n", path_, file_.getLastError());
        fail("read reserveFile failed", file_.getLastError());
    }
    ReserveLineReader reader(old_);
    std::string_view view;
    bool tooLong = false;
    while (reader.next(view, tooLong)) {
        if (view.empty()) continue;  // the padding of a shorter rewrite, or a blank line
        if (tooLong) {  // dropped alone: the lines after it are read as usual
            fs_.debug(1, "getLine from %s failed, code %d\n", path_, kErrShortWrite);
            continue;
        }
        const std::string text(view);
        fs_.debug(kTraceLevel, "reserveOnDisk: line: %s", text.c_str());
        ReserveLine line;
        switch (parseReserveLine(view, line)) {
            case ReserveLineStatus::ok: break;
            case ReserveLineStatus::noBlocks:
                fs_.debug(kTraceLevel, "no blocks field in '%s' in reserve file %s\n", text.c_str(), path_);
                continue;
            default: fs_.debug(1, "invalid line '%s' in reserve file %s\n", text.c_str(), path_); continue;
        }
        fs_.debug(kTraceLevel, "reserveOnDisk: host=%s, pid=%s, blocks=%ld, lineTime=%ld", line.host.c_str(),
                  line.pid.c_str(), static_cast<long>(line.blocks), static_cast<long>(line.time));
        const bool local = line.host.empty() || strcasecmp(line.host.c_str(), hostIdString.c_str()) == 0;
        if (local && isOwnLine(line)) {
            if (numBlocks_ < 0) numBlocks_ = std::max<long>(0, numBlocks_ + static_cast<long>(line.blocks));
            fs_.debug(kTraceLevel, "reserveOnDisk: this is our process, now numBlocks=%lu",
                      static_cast<unsigned long>(numBlocks_));
            continue;  // replaced by the line this transaction writes
        }
        if (local && !keepsLine(line, text)) continue;
        fs_.debug(kTraceLevel, "reserveOnDisk: not our process and possibly running, saving");
        others_ += line.blocks;
        kept_.push_back({std::move(line), local});
    }
}

// The process id text of this process changes when a step of the system clock moves the boot
// time it is computed from: a local line with this process's pid whose start is this process's
// start by the test isRunning makes is this process's line all the same, never another's.
bool ReserveTransaction::isOwnLine(const ReserveLine& line) const {
    if (line.pid == myId_) return true;
    CXProcessId owner;
    return owner.setIdString(line.pid.c_str()) == 0 && owner.getPid() == myPid_ && owner.isRunning() == 1;
}

// Another process of this machine keeps its line while it runs (or cannot be checked).
bool ReserveTransaction::keepsLine(const ReserveLine& line, const std::string& text) {
    CXProcessId owner;
    if (owner.setIdString(line.pid.c_str()) != 0) {
        fs_.debug(kTraceLevel, "invalid pid field in '%s' in reserve file %s\n", line.head.c_str(), path_);
        return false;
    }
    switch (owner.isRunning()) {
        case 0: fs_.debug(kTraceLevel, "reserveOnDisk: not our process and not running, discarding"); return false;
        case 1: return true;
        default: fs_.debug(kTraceLevel, "cannot check running status for reserve line '%s'\n", text.c_str()); return true;
    }
}

int64_t ReserveTransaction::measureAvailable() {
    int error = 0;
    if (fs_.measureFreeSpace(error) != 0) {
        if (error == kErrNotFound) fs_.debug(1, "cache directory '%s' does not exist\n", fs_.cacheFs_);
        fail("getFreeSpace failed", error);
    }
    const int64_t available = static_cast<int64_t>(fs_.freeBlocks_) - static_cast<int64_t>(others_);
    fs_.debug(kTraceLevel, "reserveOnDisk: freeBlocks=%llu, totalBlocks=%llu, blockSize=%lu",
              static_cast<unsigned long long>(fs_.freeBlocks_), static_cast<unsigned long long>(fs_.totalBlocks_),
              static_cast<unsigned long>(fs_.blockSize_));
    fs_.debug(kTraceLevel, "reserveOnDisk: availSpace=%lld (%llu - %llu)", static_cast<long long>(available),
              static_cast<unsigned long long>(fs_.freeBlocks_), static_cast<unsigned long long>(others_));
    return available;
}

std::string ReserveTransaction::newContent(bool withOwnLine, int32_t ownBlocks) {
    std::string content;
    content.reserve(old_.size() + 128);
    for (size_t i = 0; i < kept_.size(); ++i) {
        const ReserveLine& line = kept_[i].line;
        const std::string text = formatKeptReserveLine(line);
        if (line.time == 0) {
            fs_.debug(kTraceLevel, "CACHEFS_DEBUG line1='%s', pids[%d]='%s'", text.c_str(), static_cast<int>(i),
                      line.head.c_str());
        } else {
            fs_.debug(kTraceLevel, "CACHEFS_DEBUG line2='%s', pids[%d]='%s'", text.c_str(), static_cast<int>(i),
                      line.head.c_str());
            // Signed: a time in the future (another machine's clock ahead) survives.
            if (curTime_ != 0 && static_cast<int64_t>(curTime_) - line.time > kLineLifetime) {
                fs_.debug(kTraceLevel, "time %lu, now %lu, discarding '%s' (%s)\n", static_cast<unsigned long>(line.time),
                          static_cast<unsigned long>(curTime_), text.c_str(), kept_[i].local ? "local" : "remote");
                continue;
            }
        }
        fs_.debug(kTraceLevel, "CACHEFS_DEBUG putLine '%s'", text.c_str());
        content.append(text).append("\r\n");
    }
    if (withOwnLine) {
        const std::string own = formatOwnReserveLine(hostIdString, myId_, ownBlocks, curTime_);
        fs_.debug(kTraceLevel, "CACHEFS_DEBUG line3='%s', myIdString='%s'", own.c_str(), myId_.c_str());
        fs_.debug(kTraceLevel, "CACHEFS_DEBUG my putLine '%s'", own.c_str());
        content.append(own).append("\r\n");
    }
    return content;
}

// In place at offset 0, cut to length and synced; on failure the old bytes go back (they fit
// in the blocks the file already has) and the transaction fails. A shorter content is first
// written padded with line ends to the old length and synced, and only then cut: a crash or
// power loss between the write and the cut then leaves the new lines followed by empty ones,
// which readers drop, never the new lines followed by the old tail (a line twice, a fragment).
void ReserveTransaction::writeFile(const std::string& content) {
    if (content == old_) return;
    fs_.debug(kTraceLevel, "reserveOnDisk: truncate reserve file and rewrite");
    bool written = true;
    if (content.size() < old_.size()) {
        std::string padded = content;
        padded.append(old_.size() - content.size(), '\n');
        written = file_.replaceContents(padded.data(), padded.size()) == 0;
    }
    if (written && file_.replaceContents(content.data(), content.size()) == 0) return;
    const int error = file_.getLastError();
    fs_.debug(1, "putLine into %s failed, code %d\n", path_, error);
    if (file_.replaceContents(old_.data(), old_.size()) != 0)
        fs_.debug(1, "cannot restore reserve file %s, code %d\n", path_, file_.getLastError());
    fail("cannot write reserve file", error);
}

void ReserveTransaction::endFile() {
    if (file_.isLocked() && file_.unlock() != 0)
        fs_.debug(1, "reserveOnDisk: unlock failed with code %d", file_.getLastError());
    if (file_.isOpen() && file_.close() != 0) fs_.debug(1, "reserveOnDisk: close failed with code %d", file_.getLastError());
}

int ReserveTransaction::run(unsigned long talCell, unsigned long appNumber, unsigned long timeStamp, bool releaseAll,
                            bool reassert) {
    try {
        fs_.debug(kTraceLevel, "reserveOnDisk(numBlocks=%lu, talCell=%lu, appNumber=%lu, timeStamp=%lu, releaseAll=%d)%s",
                  static_cast<unsigned long>(numBlocks_), talCell, appNumber, timeStamp, releaseAll ? 1 : 0, "");
        if (fs_.cacheFs_ == nullptr) fail("no cache fs", 0);
        // No line can hold more; a give-back of more than any line just removes the line.
        if (numBlocks_ > kMaxBlocks) fail("request too large", 0);
        numBlocks_ = std::max(numBlocks_, -kMaxBlocks);
        const bool request = numBlocks_ > 0 && !reassert;

        CXProcessId me;
        me.thisProcess();
        const char* id = me.getIdString();
        if (id == nullptr) fail("get process id failed", errno);
        myId_ = id;
        myPid_ = me.getPid();
        if (hostIdString.empty()) {
            const long clientId = fs_.getClientId();
            if (clientId == 0) fail("no client id in reserveOnDisk", 0);
            hostIdString = std::to_string(clientId);
        }
        fs_.debug(kTraceLevel, "reserveOnDisk: hostName=%s, myIdString=%s", hostIdString.c_str(), myId_.c_str());
        curTime_ = referenceNow(fs_);
        fs_.lastReservedBlocks_ = 0;
        ReserveFileState& state = reserveFileState(pathText_);

        lockFile();
        readAndScan();
        const int64_t available = request ? measureAvailable() : 0;
        if (request && available < numBlocks_) {
            fs_.debug(1, "reserveOnDisk: not enough space (%lld < %lld), calling cleanUp",
                      static_cast<long long>(available), static_cast<long long>(numBlocks_));
            // The cleanup takes long and must not keep every other process waiting: it runs
            // without the lock, for the request plus what the others reserved, and the file and
            // the space are looked at again afterwards.
            endFile();
            const long demand = static_cast<long>(std::min<uint64_t>(static_cast<uint64_t>(numBlocks_) + others_, kMaxBlocks));
            const int cleaned = fs_.cleanUpBoth(demand, talCell, appNumber, timeStamp);
            fs_.debug(1, "reserveOnDisk: cleanedSpace=%lu", static_cast<unsigned long>(cleaned));
            lockFile();
            readAndScan();
            if (measureAvailable() < numBlocks_) {
                fs_.debug(1, "reserveOnDisk: still not enough space, exit");
                endFile();
                NoParamSetPendingCause(fs_.getJobId(), KRS_PLATFORMTYPE_MEDIAAGENT, kPendingNoSpace);
                return 0;
            }
        }

        const bool ownLine = reassert ? state.ownBlocks > 0 : !releaseAll && numBlocks_ > 0;
        const int32_t ownBlocks = !ownLine ? 0 : reassert ? state.ownBlocks : static_cast<int32_t>(numBlocks_);
        writeFile(newContent(ownLine, ownBlocks));
        if (!reassert) state.buffer = static_cast<uint64_t>(ownBlocks) * fs_.blockSize_;
        state.ownBlocks = ownBlocks;
        state.ownTime = ownLine ? curTime_ : 0;
        fs_.lastReservedBlocks_ = ownBlocks;
        endFile();
        return 1;
    } catch (const JobResultsCacheFs::Failure& failure) {
        if (numBlocks_ != 0 && ++fs_.failureEventCount_ <= kMaxEventsPerKind) {
            fs_.ev() << numBlocks_ << orNull(fs_.cacheFs_);
            fs_.ev().CriticalEvent(kReservationFailedEvent, fs_.getJobId(), 0);
        }
        fs_.debug(1, "reserveOnDisk(): %s: errno=%d\n", failure.text, error_);
        endFile();
        errno = error_;  // for the caller's log line
        JobResultsCacheFs::fail("reserveOnDisk() exception");
    }
}

int JobResultsCacheFs::reserveOnDisk(long numBlocks, unsigned long talCell, unsigned long appNumber,
                                     unsigned long timeStamp, bool releaseAll) {
    Section guard;
    if (reserveEnabled == Enablement::undecided) {
        const char* value = getRegistryString("sDISABLERESERVE", nullptr);
        const bool on = value != nullptr && (strcasecmp(value, "n") == 0 || strcasecmp(value, "no") == 0);
        if (on) debug(1, "%s set to %s - space reservation is enabled", "sDISABLERESERVE", value);
        reserveEnabled = on ? Enablement::on : Enablement::off;
    }
    if (reserveEnabled == Enablement::off) return 1;
    return ReserveTransaction(*this, reserveFilePath_, numBlocks).run(talCell, appNumber, timeStamp, releaseAll, false);
}

int JobResultsCacheFs::reserve(uint64_t bytes, unsigned long talCell, unsigned long appNumber,
                               unsigned long timeStamp) {
    if (!isInitialized()) return -1;
    Section guard;
    try {
        // Without reservation every request is granted (no buffer is ever handed out then): the
        // writer of a large file asks once a line and must not pay for a lookup of the reserve
        // file's state, or its transaction path, each time.
        if (reserveEnabled == Enablement::off && blockSize_ != 0) {
            lastReserveBytes_ = bytes;
            return 1;
        }
        ReserveFileState& state = reserveFileState(reserveFilePath_);
        if (state.buffer > bytes) {
            state.buffer -= bytes;
            lastReserveBytes_ = bytes;
            // A job living off its buffer must not lose its line to the day limit meanwhile.
            if (state.ownBlocks > 0 && reserveEnabled == Enablement::on &&
                static_cast<int64_t>(ReserveTransaction::referenceNow(*this)) - state.ownTime > kReassertAge) {
                try {
                    ReserveTransaction(*this, reserveFilePath_, 0).run(talCell, appNumber, timeStamp, false, true);
                } catch (const Failure& failure) {  // the request itself is served: the buffer holds it
                    debug(1, "reserve(): %s: errno=%d\n", failure.text, errno);
                }
            }
            return 1;
        }
        if (blockSize_ == 0) fail("no block size");
        const uint64_t padded = bytes > UINT64_MAX - kRequestPadBytes ? UINT64_MAX : bytes + kRequestPadBytes;
        const uint64_t blocks = padded / blockSize_;
        if (reserveOnDisk(blocks > static_cast<uint64_t>(LONG_MAX) ? LONG_MAX : static_cast<long>(blocks), talCell,
                          appNumber, timeStamp, false) != 1)
            return 0;
        lastReserveBytes_ = bytes;
        return 1;
    } catch (const Failure& failure) {
        debug(1, "reserve(): %s: errno=%d\n", failure.text, errno);
        return -1;
    }
}

int JobResultsCacheFs::release(uint64_t bytes, bool all) {
    if (!isInitialized()) return -1;
    Section guard;
    try {
        if (all) {
            reserveOnDisk(0, 0, 0, 0, true);
            return 0;
        }
        if (lastReserveBytes_ < kRequestPadBytes || bytes < kRequestPadBytes) return 0;
        if (blockSize_ == 0) fail("no block size");
        const uint64_t giveBack = bytes < lastReserveBytes_ ? bytes : lastReserveBytes_;
        const uint64_t blocks = std::min<uint64_t>(giveBack / blockSize_, kMaxBlocks);
        if (reserveOnDisk(-static_cast<long>(blocks), 0, 0, 0, false) != 1) return -1;
        lastReserveBytes_ -= giveBack;
        return 0;
    } catch (const Failure& failure) {
        debug(1, "release(u_long): %s: errno=%d\n", failure.text, errno);
        return -1;
    }
}

void JobResultsCacheFs::unreserve(uint64_t bytes) {
    if (!isInitialized()) return;
    Section guard;
    if (reserveEnabled == Enablement::on) reserveFileState(reserveFilePath_).buffer += bytes;
}

int JobResultsCacheFs::cleanUpBoth(long numBlocks, unsigned long talCell, unsigned long appNumber,
                                   unsigned long timeStamp) {
    const int gained = otherCache_ != nullptr ? otherCache_->cleanUpForSpace(numBlocks, talCell, appNumber, timeStamp) : 0;
    if (gained >= numBlocks) return gained;
    return gained + cleanUpForSpace(numBlocks - gained, talCell, appNumber, timeStamp);
}

// Every reserve file in which the process holds a line, not only this object's: a process that
// goes on living must not keep space reserved on another volume.
void JobResultsCacheFs::releaseReservationOfLastInstance() {
    if (!initialized_ || reserveEnabled != Enablement::on) return;
    std::vector<std::string> held;
    for (const auto& [path, state] : reserveFileStates())
        if (state.ownBlocks > 0 || (path == reserveFilePath_ && lastReservedBlocks_ != 0)) held.push_back(path);
    for (const std::string& path : held) {
        try {
            ReserveTransaction(*this, path, 0).run(0, 0, 0, true, false);
        } catch (const Failure& failure) {
            debug(1, "destructor: %s, errno=%d\n", failure.text, errno);
        }
    }
}

uint64_t JobResultsCacheFs::getReserveBuffer() const {
    Section guard;
    return reserveFileState(reserveFilePath_).buffer;
}

void JobResultsCacheFs::setReserveBuffer(uint64_t bytes) {
    Section guard;
    reserveFileState(reserveFilePath_).buffer = bytes;
}
