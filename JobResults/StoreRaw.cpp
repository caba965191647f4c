// Raw and removable storing: the State file held with a shared lock, raw file names.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Indexing/cacheFs/JobResultsCacheFs.h"
#include "Indexing/icommon/SafeFileOps.h"
#include "Indexing/idxport/FsPrimitives.h"
#include "JobResults/StoreResults.h"
#include "Platform/PlatformEnv.h"

namespace {
constexpr unsigned long kStateLockSeconds = 120;
constexpr int kStateAttempts = 10;
// A raw name already taken (by this process in the same second, or by a process of the same
// id before) moves on to the next second.
constexpr uint32_t kRawNameSeconds = 60;
std::atomic<unsigned> newStateCount{0};
}  // namespace

// A State file appears whole: it is written under a name of its own and linked into place
// only when no State exists, so that a reader never finds it empty and two writers starting
// together do not both write it.
bool StoreResults::createState(const char* op, const std::string& state, uint32_t now) {
    const std::string temp = state + "." + std::to_string(PlatformEnv::processId()) + "." +
                             std::to_string(newStateCount.fetch_add(1)) + ".new";
    CXFile file;
    char atime[24];
    snprintf(atime, sizeof atime, "%lu", static_cast<unsigned long>(now));
    if (file.open(temp.c_str(), sfCreateNew, 0, 0666, sfRegularFileOnly) != 0) {
        debug(1, "%s: cannot create '%s', code %d", op, temp.c_str(), file.getLastError());
        return true;
    }
    if (file.putLine("0", true) != 0) {
        debug(1, "%s: cannot write first line in '%s', code %d", op, temp.c_str(), file.getLastError());
    } else if (file.putLine(atime, true) != 0 || file.close() != 0) {
        debug(1, "%s: cannot write second line in '%s', code %d", op, temp.c_str(), file.getLastError());
    } else if (fsRenameNoReplace(temp.c_str(), state.c_str()) == 0) {
        return false;
    } else if (errno == EEXIST) {  // another writer made it first: that one is used
        safeUnlink(temp.c_str());
        return false;
    } else {
        debug(1, "%s: cannot create '%s', code %d", op, state.c_str(), errno);
    }
    file.close();
    safeUnlink(temp.c_str());
    return true;
}

// Line 2 of State holds the directory's access time: a writer that starts refreshes it, so
// that the cleanup does not age out a directory whose raw files still wait for their merge.
void StoreResults::refreshAccessTime(const char* op, const std::string& state, uint32_t now) {
    char head[2];
    char atime[24];
    snprintf(atime, sizeof atime, "%lu    ", static_cast<unsigned long>(now));
    if (stateLockFile_.seek(0, sfSeekSet) != 0 || stateLockFile_.read(head, 2) != 2 ||
        (head[1] != '\n' && head[1] != '\r')) {
        debug(1, "%s: cannot find the access time in '%s', code %d", op, state.c_str(), stateLockFile_.getLastError());
        return;
    }
    if (stateLockFile_.seek(head[1] == '\n' ? 2 : 3, sfSeekSet) != 0 || stateLockFile_.putLine(atime, true) != 0)
        debug(1, "%s: cannot refresh the access time in '%s', code %d", op, state.c_str(),
              stateLockFile_.getLastError());
}

bool StoreResults::holdStateShared(const char* op, uint32_t now) {
    const char* dir = resultsDir_.getCacheDir();
    const std::string state = joinPath(dir, "State");
    for (int attempt = 0; attempt < kStateAttempts; ++attempt) {
        stateLockFile_.close();
        bool created = false;
        if (!fsExists(state.c_str())) {
            if (errno != ENOENT) {
                debug(1, "%s: cannot examine '%s', code %d", op, state.c_str(), errno);
                return true;
            }
            if (recursiveMkdir(dir, 0755) != 0) {
                debug(1, "%s: cannot create directory '%s', code %d", op, dir, errno);
                return true;
            }
            if (createState(op, state, now)) return true;
            created = true;
        }
        // Written to refresh the access time where this account may; read-only otherwise.
        bool writable = stateLockFile_.open(state.c_str(), sfReadWrite, 0, 0, sfRegularFileOnly) == 0;
        if (!writable && stateLockFile_.open(state.c_str(), sfReadOnly, 0, 0, sfRegularFileOnly) != 0) {
            if (stateLockFile_.getLastError() == kErrNotFound) continue;  // removed meanwhile
            debug(1, "%s: cannot open '%s' for read, code %d", op, state.c_str(), stateLockFile_.getLastError());
            return true;
        }
        const int locked = stateLockFile_.lock(sfLockShared, kStateLockSeconds);
        if (locked != 1) {
            debug(1, "%s: cannot lock (non-excl) '%s', ret %d, code %d", op, state.c_str(), locked,
                  stateLockFile_.getLastError());
            return true;
        }
        // A remover may have unlinked State while the lock was waited for.
        if (!stateLockFile_.isStillAt(state.c_str())) continue;
        if (writable && !created) refreshAccessTime(op, state, now);
        return false;
    }
    stateLockFile_.close();
    debug(1, "%s: '%s' was replaced %d times while it was locked", op, state.c_str(), kStateAttempts);
    return true;
}

// Each raw file is claimed by creating it: two writers never share one, even with the same
// process id in the same second.
bool StoreResults::claimRawName(std::string& rawName, uint32_t now) {
    const std::string stem = fileName_;
    const long pid = PlatformEnv::processId();
    for (uint32_t second = now; second - now < kRawNameSeconds; ++second) {
        char suffix[48];
        snprintf(suffix, sizeof suffix, "_%lu_%lu", static_cast<unsigned long>(pid), static_cast<unsigned long>(second));
        const std::string name = stem + suffix;
        CXFile raw;
        if (raw.open(name.c_str(), sfCreateNew, 0, 0666, sfRegularFileOnly) == 0) {
            rawName = name;
            return false;
        }
        if (raw.getLastError() != kErrFileExists) {
            debug(1, "openRaw: cannot create raw file '%s', code %d", name.c_str(), raw.getLastError());
            return true;
        }
    }
    debug(1, "openRaw: no free raw file name after '%s_%ld_%lu'", stem.c_str(), pid, static_cast<unsigned long>(now));
    return true;
}

bool StoreResults::openShared(const char* op, ResultsFile kind, uint32_t& now) {
    now = JobResultsCacheFs::getCurrentTime();
    if (resultsDir_.getCacheDir() == nullptr) {
        debug(1, "%s: cache init failed\n", op);
        return true;
    }
    fileType_ = kind;
    // Rows still waiting go in before the State lock is let go and taken again: a results file
    // made in between would hold none of them.
    if (commitRows(op)) return true;
    if (holdStateShared(op, now)) return true;
    if (computeFileNames(kind) || fileName_ == nullptr) {
        debug(1, "%s: cannot compute file names\n", op);
        return true;
    }
    return false;
}

bool StoreResults::refuseAfterGeneration(const char* op) {
    if (fsExists(fileName_)) {
        debug(1, "%s: results file %s was already generated, refused\n", op, fileName_);
        return true;
    }
    if (errno != ENOENT) {
        debug(1, "%s: cannot examine %s, code %d\n", op, fileName_, errno);
        return true;
    }
    return false;
}

bool StoreResults::openRaw(ResultsFile kind, std::string& rawName) {
    uint32_t now = 0;
    if (openShared("openRaw", kind, now)) return true;
    // Raw files are merged only into a results file that does not exist yet: lines written
    // after the merge would never be served. The shared lock keeps a merge from starting now.
    if (refuseAfterGeneration("openRaw")) return true;
    safeUnlink(mapName_);
    char* dot = strrchr(fileName_, '.');
    if (dot == nullptr) {
        debug(1, "openRaw: bad file name '%s'", fileName_);
        return true;
    }
    *dot = '\0';
    return claimRawName(rawName, now);
}
