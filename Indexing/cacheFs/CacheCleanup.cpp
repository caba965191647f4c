// Cleanup of a cache file system: scan the talCell/app/timeStamp tree, sort the directories
// newest first, then hand the oldest to unCache until the space goal is met.
//
// Times are compared as unsigned 32-bit numbers: as signed numbers the page cache directory's
// time stamp 4294967295 would read as -1 and always look old, and every time after 2038 would.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Indexing/cacheFs/AppScanOptimizer.h"
#include "Indexing/cacheFs/CacheDirArray.h"
#include "Indexing/cacheFs/JobResultsCacheFs.h"
#include "Indexing/idxport/CXDirectory.h"
#include "Indexing/idxport/PathSep.h"
#include "Indexing/indexcachedir/JobResultsCacheDir.h"
#include "Platform/KrTime.h"

namespace {
constexpr uint32_t kMaxEventsPerKind = 12;

// A name of decimal digits only (at least one) that reads as a number.
bool numericName(const char* name, unsigned long& value) {
    if (*name == '\0') return false;
    for (const char* c = name; *c != '\0'; ++c)
        if (*c < '0' || *c > '9') return false;
    errno = 0;
    value = strtoul(name, nullptr, 10);
    return errno == 0;
}

const char* orNull(const char* text) { return text != nullptr ? text : "NULL"; }

// now less numDays days; a cut-off before 1970 (a day count such as 36500, "keep for ever")
// is 0, before which nothing is old.
uint32_t cutoffBefore(uint32_t now, uint32_t numDays) {
    const uint64_t span = static_cast<uint64_t>(numDays) * 86400u;
    return span >= now ? 0 : static_cast<uint32_t>(now - span);
}
}  // namespace

void JobResultsCacheFs::openRoot(CXDirectory& root) {
    if (cacheFs_ == nullptr) fail("no cache fs");
    if (root.open(cacheFs_) != 0) {
        debug(1, "cannot open %s\n", cacheFs_);
        fail("cacheFsDir opendir failed");
    }
}

int JobResultsCacheFs::measureFreeSpace(int& error) {
    CXDirectory volume;
    uint64_t availableKB = 0, totalKB = 0;
    unsigned long bytesPerBlock = 0;
    if (volume.getFreeSpace(cacheFs_, &availableKB, &totalKB, &bytesPerBlock) != 0) {
        error = volume.getLastError();
        return -1;
    }
    freeBlocks_ = availableKB;
    totalBlocks_ = totalKB;
    blockSize_ = static_cast<uint32_t>(bytesPerBlock);
    return 0;
}

int JobResultsCacheFs::cleanUpForSpace(long numBlocks, unsigned long talCell, unsigned long appNumber,
                                       unsigned long timeStamp) {
    int result = cleanUp(static_cast<unsigned long>(numBlocks), false, true, true, 0, 0, 0, talCell, appNumber, timeStamp);
    return result >= 1 ? static_cast<int>(numBlocks) : 0;
}

int JobResultsCacheFs::cleanUp(unsigned long numBlocks, bool removeAllOld, bool logEvent, bool useAccessTime,
                               unsigned long talCell, unsigned long appNumber, unsigned long removeBefore,
                               unsigned long keepTalCell, unsigned long keepAppNumber, unsigned long keepTimeStamp) {
    CacheDirArray array(CacheDirArray::kGrowth);
    if (!array.valid()) {
        debug(1, "out of memory, cleanUp fails (errno %d)", errno);
        ev() << "IndexCacheCleanup";
        ev().CriticalEvent(0xE000008, getJobId(), 0);
        return -1;
    }
    if (scanForCleanUp(array, useAccessTime, talCell, appNumber) == 0)
        return cleanUpWithoutScan(array, numBlocks, removeAllOld, logEvent, useAccessTime, talCell, appNumber,
                                  removeBefore, keepTalCell, keepAppNumber, keepTimeStamp);
    debug(1, "bad scan for cleanUp %s cl=%d, #Bl=%lu, rmOld=%d, logEv=%d, useAccTm=%d, talCell=%lu, appNum=%lu\n",
          orNull(cacheFs_), clientCache_ ? 1 : 0, numBlocks, removeAllOld ? 1 : 0, logEvent ? 1 : 0,
          useAccessTime ? 1 : 0, talCell, appNumber);
    if (++failureEventCount_ <= kMaxEventsPerKind) {
        ev() << numBlocks << orNull(cacheFs_);
        ev().CriticalEvent(0xE000047, getJobId(), 0);
    }
    return -1;
}

int JobResultsCacheFs::scanForCleanUp(CacheDirArray& array, bool useAccessTime, unsigned long talCell,
                                      unsigned long appNumber) {
    if (!isInitialized()) return -1;
    try {
        CXDirectory root;
        openRoot(root);
        if (array.scanning(*this, getJobId()) != 0) fail("out of memory");
        for (char* cellName = root.read(); cellName != nullptr; cellName = root.read()) {
            unsigned long cell = 0;
            if (!numericName(cellName, cell) || (talCell != 0 && cell != talCell)) continue;
            const std::string cellPath = joinPath(cacheFs_, cellName);
            CXDirectory cellDir;
            if (cellDir.open(cellPath.c_str()) != 0) continue;
            AppScanOptimizer apps(cellDir, static_cast<unsigned>(appNumber));
            for (const char* appName = apps.next(); appName != nullptr; appName = apps.next()) {
                unsigned long app = 0;
                if (!numericName(appName, app) || (appNumber != 0 && app != appNumber)) continue;
                const std::string appPath = joinPath(cellPath, appName);
                CXDirectory appDir;
                if (appDir.open(appPath.c_str()) != 0) continue;
                for (char* stampName = appDir.read(); stampName != nullptr; stampName = appDir.read()) {
                    unsigned long stamp = 0;
                    if (!numericName(stampName, stamp) || stamp > 0xFFFFFFFFul) continue;
                    if (isItMyIndexCache(cell, app, stamp)) continue;
                    const int added = array.found(cell, app, stamp);
                    if (added != 0) fail(added == -2 ? "out of memory" : "append failed");
                }
                appDir.close();
                if (appNumber != 0) break;
            }
            cellDir.close();
            if (talCell != 0) break;
        }
        root.close();
        if (array.sort(useAccessTime) != 0) fail("sort failed");
        return 0;
    } catch (const Failure& failure) {
        debug(1, "scanForCleanUp failed: %s, cacheFs %s, errno %d\n", failure.text, orNull(cacheFs_), errno);
        return -1;
    }
}

int JobResultsCacheFs::cleanUpWithoutScan(CacheDirArray& array, unsigned long numBlocks, bool removeAllOld,
                                          bool logEvent, bool useAccessTime, unsigned long talCell,
                                          unsigned long appNumber, unsigned long removeBefore,
                                          unsigned long keepTalCell, unsigned long keepAppNumber,
                                          unsigned long keepTimeStamp) {
    if (!isInitialized()) return -1;
    if (logEvent && (clientCache_ || numBlocks != 0) && ++ageEventCount_ <= kMaxEventsPerKind) {
        if (!clientCache_) ev() << numBlocks;
        ev() << orNull(cacheFs_);
        if (clientCache_)
            ev().InfoEvent(0xE000046, getJobId(), 0);
        else
            ev().InfoEvent(0xE000045, getJobId(), 0);
    }
    const uint32_t now = getCurrentTime();
    const uint32_t cutoff = absCutoff_ != 0 ? absCutoff_ : cutoffBefore(now, numDays_);
    auto blockGoal = [&] { return freeBlocks_ >= static_cast<uint32_t>(numBlocks + pad_); };
    auto percentGoal = [&] {
        return minFreePercent_ == 0 ||
               (freeBlocks_ != 0 && static_cast<double>(totalBlocks_) / static_cast<double>(freeBlocks_) <= freeRatio_);
    };
    auto doneLine = [&] {
        if (minFreePercent_ == 0)
            debug(8, "cleanUp: Done cleaning because we have enough free blocks and we don't care about disk free %%\n");
        else
            debug(8, "cleanUp: Done cleaning because we have enough free blocks and disk free %%\n");
    };
    std::string header;
    try {
        CXDirectory root;
        openRoot(root);
        root.close();
        auto measure = [&] {
            int error = 0;
            if (measureFreeSpace(error) != 0) {
                debug(1, "getFreeSpace %s failed (code %d)\n", cacheFs_, error);
                fail("getFreeSpace error");
            }
        };
        {
            char line[1024], cutoffText[64], nowText[64], absText[64];
            snprintf(line, sizeof line, "cleanUp %s\n", orNull(cacheFs_));
            header = line;
            snprintf(line, sizeof line, "    cl=%d, #Bl=%lu, rmOld=%d, logEv=%d, useAccTm=%d, talCell=%lu, appNum=%lu%s\n",
                     clientCache_ ? 1 : 0, numBlocks, removeAllOld ? 1 : 0, logEvent ? 1 : 0, useAccessTime ? 1 : 0,
                     talCell, appNumber, "");
            header += line;
            snprintf(line, sizeof line, "    cutoff time %d [%s] (currentTime = %d [%s], numDays=%u, absCutoff=%lu [%s]%s)\n",
                     static_cast<int>(cutoff), KrTime(cutoff, cutoffText, sizeof cutoffText, true),
                     static_cast<int>(now), KrTime(now, nowText, sizeof nowText, true), numDays_,
                     static_cast<unsigned long>(absCutoff_), KrTime(absCutoff_, absText, sizeof absText, true),
                     removeAllOld ? ", remove all old directories" : "");
            header += line;
            snprintf(line, sizeof line,
                     "    numBlocks=%lu, minFreePercent=%u, freeBlocks=%llu, totBlocks=%llu, pad=%u\n", numBlocks,
                     minFreePercent_, static_cast<unsigned long long>(freeBlocks_),
                     static_cast<unsigned long long>(totalBlocks_), pad_);
            header += line;
        }
        auto handOver = [&](JobResultsCacheDir* dir, bool lowSpace) {
            const uint32_t when = clientCache_ ? static_cast<uint32_t>(dir->getAtime())
                                               : static_cast<uint32_t>(dir->getTimeStamp());
            if (removeBefore != 0 && when >= removeBefore) return;
            if (!header.empty()) {
                debug(1, "%s", header.c_str());
                header.clear();
            }
            dir->unCache(lowSpace, keepTalCell, keepAppNumber, keepTimeStamp);
        };

        // The array makes a directory's object when it is first asked for.
        auto directoryAt = [&](int index) {
            JobResultsCacheDir* dir = array.at(index);
            if (dir == nullptr) fail("out of memory");
            return dir;
        };

        // First pass: the old directories, oldest first.
        bool blockGoalNoted = false;
        while (array.getSize() > 0) {
            const int last = array.getSize() - 1;
            JobResultsCacheDir* dir = directoryAt(last);
            const uint32_t t = useAccessTime ? static_cast<uint32_t>(dir->getAtime())
                                             : static_cast<uint32_t>(dir->getTimeStamp());
            if (t >= cutoff) break;
            if (t == 0) {
                const std::string pathText = orNull(dir->getCacheDir());
                const char* path = pathText.c_str();
                const bool stale = now > dir->getTimeStamp() && now - dir->getTimeStamp() > 86400;
                if (dir->getErrno() == JobResultsCacheDir::kErrStateUnreadable && (numBlocks != 0 || stale)) {
                    debug(1, "cleanUp: getAtime failed, UnCache cacheDir '%s', code %d\n", path, dir->getErrno());
                    // Removed under its State lock like any other: a creator may be at work in it.
                    const int removed = dir->removeUnreadable();
                    if (removed < 0) debug(1, "cleanUp: cannot remove dir %s, code %d\n", path, dir->getErrno());
                    if (removed == 1) debug(1, "cleanUp: cacheDir '%s' is in use, left alone\n", path);
                } else {
                    debug(1, "cleanUp: getAtime failed, ignoring cacheDir '%s', code %d\n", path, dir->getErrno());
                }
                array.remove(last);
                continue;
            }
            handOver(dir, false);
            array.remove(last);
            if (!removeAllOld) {
                measure();
                if (blockGoal()) {
                    blockGoalNoted = true;
                    if (percentGoal()) {
                        doneLine();
                        return 1;
                    }
                }
            }
        }
        if (!removeAllOld) {
            if (blockGoalNoted) {
                debug(8, "cleanUp: Done cleaning because we already have enough free blocks and we don't want to clean recent cacheDirs\n");
                return 1;
            }
            measure();
            if (blockGoal()) {
                debug(8, "cleanUp: Done cleaning because we now have enough free blocks and we don't want to clean recent cacheDirs\n");
                return 1;
            }
        } else {
            measure();
            if (percentGoal()) {
                doneLine();
                return 1;
            }
            if (array.getSize() == 0) {
                debug(8, "cleanUp: there are no recent cache dirs to remove - skipping second cleanup pass\n");
                return 0;
            }
        }

        // Second pass: recent directories, only for one app.
        if (appNumber == 0) {
            debug(1, "to prevent thrashing, recent cache dirs are no longer removed");
        } else {
            debug(8, "recent dirs in cacheFs %s (numDays=%u, absCutoff=%lu%s) are eligible for removal", orNull(cacheFs_),
                  numDays_, static_cast<unsigned long>(absCutoff_), removeAllOld ? ", remove all old directories" : "");
            debug(8, "numBlocks=%lu, minFreePercent=%u, freeBlocks=%llu, totBlocks=%llu, pad=%u\n", numBlocks,
                  minFreePercent_, static_cast<unsigned long long>(freeBlocks_),
                  static_cast<unsigned long long>(totalBlocks_), pad_);
            if (logEvent && ++recentEventCount_ <= kMaxEventsPerKind) {
                ev() << orNull(cacheFs_);
                ev().MajorEvent(0xE00004B, getJobId(), 0);
            }
            while (array.getSize() > 0) {
                const int last = array.getSize() - 1;
                handOver(directoryAt(last), true);
                array.remove(last);
                measure();
                if (!removeAllOld && blockGoal()) {
                    debug(8, "cleanUp: Done cleaning because we now have enough free blocks and we don't want to clean recent cacheDirs\n");
                    return 1;
                }
                if (removeAllOld && percentGoal()) {
                    doneLine();
                    return 1;
                }
            }
        }

        debug(1, "low space in cacheFs %s\n", orNull(cacheFs_));
        debug(1, "numBlocks=%lu, minFreePercent=%u, freeBlocks=%llu, totBlocks=%llu, pad=%u\n", numBlocks,
              minFreePercent_, static_cast<unsigned long long>(freeBlocks_),
              static_cast<unsigned long long>(totalBlocks_), pad_);
        if (logEvent && ++failureEventCount_ <= kMaxEventsPerKind) {
            if (!removeAllOld) {
                ev() << numBlocks << orNull(cacheFs_);
                ev().CriticalEvent(0xE000048, getJobId(), 0);
            } else {
                ev() << orNull(cacheFs_) << static_cast<int>(100 - minFreePercent_);
                ev().CriticalEvent(0xE000049, getJobId(), 0);
            }
        }
        debug(1, "cleanUp: Done because there is nothing left to delete and we still do not have enough free blocks\n");
        return 0;
    } catch (const Failure& failure) {
        const int error = errno;
        if (++failureEventCount_ <= kMaxEventsPerKind) {
            ev() << numBlocks << orNull(cacheFs_);
            ev().CriticalEvent(0xE000047, getJobId(), 0);
        }
        debug(1, "cleanUp(u_long): %s, cacheFs %s, numBlocks %lu, removeAllOld %s, errno %d\n", failure.text,
              orNull(cacheFs_), numBlocks, removeAllOld ? "true" : "false", error);
        return -1;
    }
}
