// The sweep of the whole cache on a day threshold, at most one process at a time.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "Indexing/idxport/FsPrimitives.h"
#include "Indexing/indexcachedir/JobResultsCacheDir.h"

namespace {
constexpr uint32_t kDay = 86400;
constexpr const char* kFn = "periodicCleanup";

bool readStamp(const char* line, uint32_t& stamp) {
    if (*line < '0' || *line > '9') return false;
    stamp = static_cast<uint32_t>(strtoul(line, nullptr, 10));
    return true;
}
}  // namespace

int JobResultsCacheDir::periodicCleanup() {
    const uint32_t now = static_cast<uint32_t>(time(nullptr));
    if (cacheFs_ == nullptr) {
        debug(1, "%s: not initialized", kFn);
        return -1;
    }
    unsigned long days = 0;
    if (getRegistryNumber("dINDEXCLEANALLDAYS", &days) != 0) return 0;
    debug(1, "%s: registry DWORD '%s' has value %lu day(s)", kFn, "dINDEXCLEANALLDAYS", days);
    const std::string path = joinPath(cacheFs_, "periodicCleanup");

    uint32_t mtime = 0;
    if (fsModificationTime(path.c_str(), mtime) != 0) {
        if (errno != ENOENT) {
            lastError_ = errno;
            debug(1, "%s: cannot stat %s, errno %d", kFn, path.c_str(), lastError_);
            return -1;
        }
        debug(1, "%s: %s does not exist", kFn, path.c_str());
    } else {
        if (now < mtime) return 0;
        const unsigned long age = (now - mtime) / kDay;
        if (days == 0 || age < days) {
            debug(1, "%s: %s last modified on %lu, %lu day(s) ago, threshold %lu day(s)", kFn, path.c_str(),
                  static_cast<unsigned long>(mtime), age, days);
            return 0;
        }
        debug(1, "%s: %s last modified on %lu, %lu day(s) ago > %lu", kFn, path.c_str(),
              static_cast<unsigned long>(mtime), age, days);
    }

    CXFile marker;
    if (marker.open(path.c_str(), sfOpenOrCreate, 0, 0755) != 0) {
        lastError_ = marker.getLastError();
        debug(1, "%s: open %s failed, code %d\n", kFn, path.c_str(), lastError_);
        return -1;
    }
    const int locked = marker.lock(sfLockExclusive, 60);
    if (locked != 1) {
        lastError_ = marker.getLastError();
        debug(1, "%s: lock %s for file %s, code %d\n", kFn, locked == 0 ? "timed out" : "failed", path.c_str(),
              lastError_);
        return locked == 0 ? 0 : -1;
    }
    // Decided under the lock from what the file holds now, not from the stat above: two processes
    // that both found no marker would otherwise both sweep.
    bool due = false;
    char line[256] = "0";
    int got = marker.getLine(line, sizeof line);
    if (got < 0) {
        lastError_ = marker.getLastError();
        debug(1, "%s: State file '%s' getLine %s code %d", kFn, path.c_str(), "error", lastError_);
        return -1;
    }
    uint32_t stamp = 0;
    if (got == 0) {
        due = true;  // a marker that nobody has written yet
    } else if (!readStamp(line, stamp)) {
        debug(1, "%s: bad mtime line in %s, defaulting to cleanup", kFn, path.c_str());
        due = true;
    } else {
        if (now < stamp) return 0;
        const unsigned long age = (now - stamp) / kDay;
        if (days != 0 && age >= days) {
            debug(1, "%s: %s mtime stamp %lu, %lu day(s) ago > %lu", kFn, path.c_str(),
                  static_cast<unsigned long>(stamp), age, days);
            due = true;
        }
    }
    if (!due) {
        debug(1, "%s: no cleanup based on %s, time %lu stamp %lu day(s) %lu", kFn, path.c_str(),
              static_cast<unsigned long>(now), static_cast<unsigned long>(stamp), days);
        return 0;
    }

    char text[1100];
    if (marker.truncate() != 0) {
        debug(1, "%s: truncate %s failed, code %d", kFn, path.c_str(), marker.getLastError());
        lastError_ = -1;
        return -1;
    }
    snprintf(text, sizeof text, "%lu", static_cast<unsigned long>(now));
    if (marker.putLine(text, false) != 0) {
        debug(1, "%s: putLine 1 to %s failed, code %d", kFn, path.c_str(), marker.getLastError());
        lastError_ = -1;
        return -1;
    }
    snprintf(text, sizeof text, "client id %lu, name %s", static_cast<unsigned long>(getClientId()), getClientName());
    if (marker.putLine(text, false) != 0) {
        debug(1, "%s: putLine 2 to %s failed, code %d", kFn, path.c_str(), marker.getLastError());
        lastError_ = -1;
        return -1;
    }
    if (marker.bufWriteFlush() != 0)
        debug(1, "%s: bufWriteFlush %s failed, code %d", kFn, path.c_str(), marker.getLastError());

    const int swept = cleanUp(0, true, false, true, 0, 0, 0, 0, 0, 0);
    if (marker.unlock() != 0) debug(1, "%s: unlock %s failed, code %d", kFn, path.c_str(), marker.getLastError());
    if (marker.close() != 0) debug(1, "%s: close %s failed, code %d", kFn, path.c_str(), marker.getLastError());
    return swept < 0 ? -1 : 0;
}
