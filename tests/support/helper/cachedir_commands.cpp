#include <cstdlib>

#include "HelperCommand.h"
#include "Indexing/indexcachedir/JobResultsCacheDir.h"

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

// periodic_cleanup: runs the sweep of the index cache and prints its result.
HELPER_COMMAND(periodic_cleanup) {
    JobResultsCacheDir dir(1, 0, 0, 0, static_cast<BackupType>(1), 0, TCacheIndex);
    dir.initialize(nullptr);
    helperSay(std::to_string(dir.periodicCleanup()));
    return 0;
}
