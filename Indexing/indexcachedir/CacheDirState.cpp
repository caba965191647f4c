// The State file: the state on line 1, the access time on line 2.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Indexing/indexcachedir/JobResultsCacheDir.h"
#include "Platform/PlatformSleep.h"

namespace {
constexpr unsigned long kStateLine = 256;

bool startsWithDigit(const char* text) { return *text >= '0' && *text <= '9'; }

// Where line 2 starts, told by the file's second byte: -1 when it ends no line.
int atimeOffset(char second) { return second == '\n' ? 2 : second == '\r' ? 3 : -1; }
}  // namespace

int JobResultsCacheDir::getState(bool reportEvent) {
    try {
        if (!stateFile_.isOpen()) {
            lastError_ = kErrNotOpened;
            fail("object is not opened");
        }
        if (stateFile_.seek(0, sfSeekSet) != 0) {
            lastError_ = stateFile_.getLastError();
            fail("seek failed");
        }
        char line[kStateLine];
        int got = stateFile_.getLine(line, sizeof line);
        if (got <= 0) {
            lastError_ = stateFile_.getLastError();
            debug(1, "State file getLine %s\n", got < 0 ? "error" : "unexpected EOF");
            fail("State file getLine error");
        }
        return startsWithDigit(line) ? atoi(line) : -1;
    } catch (const Failure& failure) {
        if (reportEvent) raiseMajorEvent(0xE000031, "NULL");
        debug(1, "getState(): %s: errno=%d\n", failure.text, lastError_);
        fail("getState() exception");
    }
}

void JobResultsCacheDir::setState(int state) {
    bool lockedHere = false;
    try {
        if (!stateFile_.isOpen()) {
            lastError_ = kErrNotOpened;
            fail("object is not opened");
        }
        char text[32];
        snprintf(text, sizeof text, "%d", state);
        if (!alreadyLocked()) {
            writeLock(60);
            lockedHere = true;
        }
        int offset = seekToAtime(stateFile_, true);
        if (offset == 2) {
            strcat(text, "\n");
        } else if (offset == 3) {
            strcat(text, "\r\n");
        } else {
            debug(1, "unable to determine seek offset in '%s'", cacheDir_);
            fail("State file error");
        }
        if (stateFile_.seek(0, sfSeekSet) != 0) {
            lastError_ = stateFile_.getLastError();
            fail("seek failed");
        }
        long written = stateFile_.write(text, strlen(text));
        if (written != static_cast<long>(strlen(text))) {
            lastError_ = stateFile_.getLastError();
            debug(1, "unable to write in '%s', ret %d, code %d", cacheDir_, static_cast<int>(written), lastError_);
            fail("State file write error");
        }
        if (lockedHere) unLock();
        debug(0x40000, "state is set to %d", state);
    } catch (const Failure& failure) {
        if (lockedHere && alreadyLocked()) unLock();
        raiseMajorEvent(0xE000032, "NULL");
        debug(1, "setState(): %s: errno=%d\n", failure.text, lastError_);
        fail("setState exception");
    }
}

int JobResultsCacheDir::seekToAtime(CXFile& file, bool offsetOnly) {
    if (file.seek(0, sfSeekSet) != 0) {
        lastError_ = file.getLastError();
        debug(1, "seekToAtime: seek failed in '%s', code %d", cacheDir_, lastError_);
        return -1;
    }
    char head[2];
    long got = file.read(head, 2);
    if (got == 0 && offsetOnly) return 3;  // an empty file gets CR LF
    const int offset = atimeOffsetOf(head, got, file);
    if (offset < 0) return -1;
    if (offsetOnly) return offset;
    if (file.seek(offset, sfSeekSet) != 0) {
        lastError_ = file.getLastError();
        debug(1, "seekToAtime: seek %d in '%s' failed, errno %d\n", offset, cacheDir_, lastError_);
        return -1;
    }
    return 0;
}

int JobResultsCacheDir::atimeOffsetOf(const char* head, long got, CXFile& file) {
    if (got < 2) {
        lastError_ = got < 0 ? file.getLastError() : -2000;
        debug(1, "seekToAtime: read in '%s' ret %d, code %d", cacheDir_, static_cast<int>(got), lastError_);
        return -1;
    }
    const int offset = atimeOffset(head[1]);
    if (offset < 0) {
        const char text[3] = {head[0], head[1], '\0'};
        debug(1, "seekToAtime: in '%s' read 2nd byte 0x%X buffer '%s'", cacheDir_,
              static_cast<unsigned>(static_cast<unsigned char>(head[1])), text);
        lastError_ = kErrStateUnreadable;
    }
    return offset;
}

int JobResultsCacheDir::putAtime(const char* text) {
    if (!stateFile_.isOpen() || text == nullptr) {
        lastError_ = kErrNotOpened;
        return -1;
    }
    int offset = seekToAtime(stateFile_, true);
    if (offset < 0) return -1;
    if (stateFile_.seek(offset, sfSeekSet) != 0 || stateFile_.putLine(text, true) != 0) {
        lastError_ = stateFile_.getLastError();
        return -2;
    }
    if (otherStuff_ != nullptr) otherStuff_->atime = 0;  // the next getAtime reads the new time
    return 0;
}

int JobResultsCacheDir::openState(CXFile& file, sfOpenMode_t mode, unsigned retries) {
    return file.open(statePath().c_str(), mode, retries, 0666, sfRegularFileOnly);
}

int JobResultsCacheDir::reopenState() {
    if (stateFile_.isOpen()) return 0;
    if (cacheDir_ == nullptr || openState(stateFile_, sfOpenOrCreate) != 0) {
        lastError_ = cacheDir_ == nullptr ? kErrNotOpened : stateFile_.getLastError();
        return -1;
    }
    return 0;
}

bool JobResultsCacheDir::stateError() {
    try {
        getState(false);
        return false;
    } catch (const Failure& failure) {
        debug(1, "stateError: getState threw exception '%s'\n", failure.text);
        return true;
    }
}

int JobResultsCacheDir::getAtime() {
    if (!isInitialized()) return 0;
    if (otherStuff_ != nullptr && otherStuff_->atime != 0) return static_cast<int>(otherStuff_->atime);
    if (atimeUnavailable_) {
        lastError_ = kErrStateUnreadable;
        return 0;
    }
    try {
        if (cacheDir_ == nullptr) {
            lastError_ = kErrNotOpened;
            fail("object is not opened");
        }
        const std::string path = statePath();
        char line[kStateLine] = "";
        const char* failure = nullptr;
        for (int attempt = 1; attempt <= 10; ++attempt) {
            if (attempt > 1) YUSLEEP(1000);
            CXFile state;
            if (openState(state, sfReadOnly) != 0) {
                debug(1, "getAtime: open '%s' failed, errno %d\n", path.c_str(), state.getLastError());
                failure = "State file open error";
                continue;
            }
            // One read holds both lines (line 2 is read as by a 256-byte line reader).
            char bytes[3 + kStateLine];
            const long got = state.read(bytes, sizeof bytes);
            const int offset = atimeOffsetOf(bytes, got, state);
            if (offset < 0) {
                failure = "seek error";
                continue;
            }
            const size_t available = got > offset ? static_cast<size_t>(got - offset) : 0;
            size_t length = 0;
            while (length < available && bytes[offset + length] != '\r' && bytes[offset + length] != '\n') ++length;
            if (available == 0 || length >= sizeof line) {
                debug(1, "State file '%s' getLine %s code %d\n", path.c_str(), available == 0 ? "unexpected EOF" : "error",
                      available == 0 ? 0 : kErrShortWrite);
                failure = "State file getLine error";
                continue;
            }
            memcpy(line, bytes + offset, length);
            line[length] = '\0';
            if (!startsWithDigit(line)) {
                failure = "invalid atime";
                continue;
            }
            failure = nullptr;
            break;
        }
        if (failure != nullptr) {
            lastError_ = kErrStateUnreadable;
            fail(failure);
        }
        uint32_t atime = static_cast<uint32_t>(strtoul(line, nullptr, 10));
        if (atime < timeStamp_) {
            debug(8, "getAtime: atime %d is smaller than time stamp %lu", static_cast<int>(atime),
                  static_cast<unsigned long>(timeStamp_));
            atime = timeStamp_;
        }
        if (otherStuff_ != nullptr) otherStuff_->atime = atime;
        return static_cast<int>(atime);
    } catch (const Failure& failure) {
        debug(1, "getAtime(): cache '%s' error '%s' errno=%d\n", cacheDir_ != nullptr ? cacheDir_ : "NULL",
              failure.text, lastError_);
        if (lastError_ == kErrStateUnreadable) atimeUnavailable_ = true;
        return 0;
    }
}
