#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "HelperCommand.h"
#include "Indexing/indexcachedir/JobResultsCacheDir.h"
#include "Platform/PlatformSleep.h"

namespace {
struct LockingCacheDir : JobResultsCacheDir {
    using JobResultsCacheDir::JobResultsCacheDir;
    using JobResultsCacheDir::readLock;
    using JobResultsCacheDir::writeLock;
};
}  // namespace

// cachedir_lock TALCELL APP TIMESTAMP read|write: holds that directory's State lock ("ready")
// until a line arrives; "refused" when it cannot be had at once.
HELPER_COMMAND(cachedir_lock) {
    if (args.size() != 4) return 64;
    LockingCacheDir dir(1, std::strtoul(args[0].c_str(), nullptr, 10), std::strtoul(args[1].c_str(), nullptr, 10),
                           0, static_cast<BackupType>(1), std::strtoul(args[2].c_str(), nullptr, 10), TCacheIndex);
    dir.initialize(nullptr);
    int locked = args[3] == "write" ? dir.writeLock(0) : dir.readLock(0);
    helperSay(locked == 1 ? "ready" : "refused");
    helperAwaitLine();
    return locked == 1 ? 0 : 1;
}

// cachedir_copy_setting: prints the copy-upon-update default and threshold after a construction.
HELPER_COMMAND(cachedir_copy_setting) {
    JobResultsCacheDir dir(1, 2, 7, 0, static_cast<BackupType>(1), 0, TCacheIndex);
    helperSay(std::string(JobResultsCacheDir::defaultCopyUponUpdate() ? "1 " : "0 ") +
              std::to_string(JobResultsCacheDir::copyThresholdMB()));
    return 0;
}

// cachedir_create TALCELL APP [TIMESTAMP]: creates a directory (now, or the time stamp given),
// prints its path or "null", and holds it until a line arrives.
HELPER_COMMAND(cachedir_create) {
    if (args.size() < 2) return 64;
    JobResultsCacheDir dir(1, std::strtoul(args[0].c_str(), nullptr, 10), std::strtoul(args[1].c_str(), nullptr, 10),
                           7, static_cast<BackupType>(1), 0, TCacheIndex);
    dir.initialize(nullptr);
    char* path = dir.create(args.size() > 2 ? std::strtoul(args[2].c_str(), nullptr, 10) : 0);
    helperSay(path != nullptr ? path : "null");
    helperAwaitLine();
    return path != nullptr ? 0 : 1;
}

// periodic_cleanup: runs the sweep of the index cache and prints its result; prints "waiting"
// the first time it waits (for the marker's lock), then waits for real.
HELPER_COMMAND(periodic_cleanup) {
    bool told = false;
    setPlatformSleepHook([&](unsigned long ms, const char*, int) {
        if (!told) helperSay("waiting");
        told = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    });
    JobResultsCacheDir dir(1, 0, 0, 0, static_cast<BackupType>(1), 0, TCacheIndex);
    dir.initialize(nullptr);
    helperSay(std::to_string(dir.periodicCleanup()));
    return 0;
}

namespace {
struct StagingCacheDir : JobResultsCacheDir {
    using JobResultsCacheDir::JobResultsCacheDir;
    using JobResultsCacheDir::removalLock;
    bool openState() { return stateFile_.open(statePath().c_str(), sfReadWrite) == 0; }
};
}  // namespace

// cachedir_stage TALCELL APP TIMESTAMP nostate|empty|remove [APPTYPE]: stops a creator or a remover at one
// step and says "ready"; on a line it finishes ("remove" discards, printing discard's result).
//   nostate: the directory is made, its State file not yet;
//   empty:   State is made and locked exclusively, nothing written yet;
//   remove:  the existing State is locked exclusively by a remover that has not removed yet.
HELPER_COMMAND(cachedir_stage) {
    if (args.size() != 4 && args.size() != 5) return 64;
    const KRAppType appType = args.size() == 5 ? std::strtoul(args[4].c_str(), nullptr, 10) : 1;
    StagingCacheDir dir(appType, std::strtoul(args[0].c_str(), nullptr, 10), std::strtoul(args[1].c_str(), nullptr, 10), 0,
                        static_cast<BackupType>(1), std::strtoul(args[2].c_str(), nullptr, 10), TCacheIndex);
    dir.initialize(nullptr);
    const std::string path = dir.getCacheDir();
    const std::string& stage = args[3];
    CXFile state;
    if (stage == "nostate") {
        mkdir(path.c_str(), 0755);
    } else if (stage == "empty") {
        mkdir(path.c_str(), 0755);
        if (state.open((path + "/State").c_str(), sfCreateNew) != 0 || state.lock(sfLockExclusive, 0) != 1) return 2;
    } else if (stage == "remove") {
        if (!dir.openState() || dir.removalLock(0) != 1) return 2;
    } else {
        return 64;
    }
    helperSay("ready");
    helperAwaitLine();
    if (stage == "remove") helperSay(std::to_string(dir.discard(false)));
    return 0;
}
