// Commands that hold, stage or drive one cache directory of the index cache (application type 1,
// or the one given) in talCell TALCELL, app APP.
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "HelperCommand.h"
#include "Indexing/indexcachedir/JobResultsCacheDir.h"
#include "Platform/PlatformSleep.h"

namespace {
unsigned long number(const std::string& text) { return std::strtoul(text.c_str(), nullptr, 10); }

struct HelperDir : JobResultsCacheDir {
    // args[0] and args[1] name talCell and app.
    HelperDir(const HelperArgs& args, int64_t jobId, unsigned long stamp = 0, KRAppType appType = 1)
        : JobResultsCacheDir(appType, number(args[0]), number(args[1]), jobId, static_cast<BackupType>(1), stamp,
                             TCacheIndex) {
        initialize(nullptr);
    }
    using JobResultsCacheDir::readLock;
    using JobResultsCacheDir::removalLock;
    using JobResultsCacheDir::writeLock;
    bool openState() { return stateFile_.open(statePath().c_str(), sfReadWrite) == 0; }
};

// Says the path or "null ERRNO" and holds the directory until a line arrives; exit 0 when it had
// one (and, when asked, closed it).
int sayAndHold(HelperDir& dir, const char* path, bool close = false) {
    helperSay(path != nullptr ? path : "null " + std::to_string(dir.getErrno()));
    helperAwaitLine();
    return path != nullptr && (!close || dir.close(false) == 0) ? 0 : 1;
}
}  // namespace

// cachedir_lock TALCELL APP TIMESTAMP read|write: holds that directory's State lock ("ready")
// until a line arrives; "refused" when it cannot be had at once.
HELPER_COMMAND(cachedir_lock) {
    if (args.size() != 4) return 64;
    HelperDir dir(args, 0, number(args[2]));
    const int locked = args[3] == "write" ? dir.writeLock(0) : dir.readLock(0);
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

// cachedir_create TALCELL APP [TIMESTAMP [resumable]]: creates a directory (now, or the time stamp
// given), prints its path or "null ERRNO", and holds it until a line arrives; with "resumable" it
// closes it at once as one that may still be resumed, and exits 0 when both succeeded.
HELPER_COMMAND(cachedir_create) {
    if (args.size() < 2) return 64;
    HelperDir dir(args, 7);
    const char* path = dir.create(args.size() > 2 ? number(args[2]) : 0);
    if (args.size() > 3) return path != nullptr && dir.close(true) == 0 ? 0 : 1;
    return sayAndHold(dir, path);
}

// cachedir_read TALCELL APP TIMESTAMP: opens that directory for reading and prints its state digit
// and the text of its "index.dat", or "null ERRNO"; closes it on a line.
HELPER_COMMAND(cachedir_read) {
    if (args.size() != 3) return 64;
    HelperDir dir(args, 0);
    const char* path = dir.open(number(args[2]), true);
    if (path == nullptr) return sayAndHold(dir, path);
    std::stringstream state, data;
    state << std::ifstream(std::string(path) + "/State").rdbuf();
    data << std::ifstream(std::string(path) + "/index.dat").rdbuf();
    helperSay(state.str().substr(0, 1) + " " + data.str());
    helperAwaitLine();
    return dir.close(false) == 0 ? 0 : 1;
}

// cachedir_resume TALCELL APP JOBID: resumes the app's newest directory for that job and prints
// its path, or "null ERRNO"; holds it until a line arrives.
HELPER_COMMAND(cachedir_resume) {
    if (args.size() != 3) return 64;
    HelperDir dir(args, static_cast<int64_t>(number(args[2])));
    return sayAndHold(dir, dir.resume(0, false));
}

// cachedir_update TALCELL APP: updates from the app's newest directory by a rename (copying
// switched off) and prints the new path or "null ERRNO"; holds it until a line arrives.
HELPER_COMMAND(cachedir_update) {
    if (args.size() != 2) return 64;
    HelperDir dir(args, 0);
    dir.copyUponUpdate(false);
    return sayAndHold(dir, dir.update(false, 0, false), true);
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

// cachedir_stage TALCELL APP TIMESTAMP nostate|empty|remove [APPTYPE]: stops a creator or a remover at one
// step and says "ready"; on a line it finishes ("remove" discards, printing discard's result).
//   nostate: the directory is made, its State file not yet;
//   empty:   State is made and locked exclusively, nothing written yet;
//   remove:  the existing State is locked exclusively by a remover that has not removed yet.
HELPER_COMMAND(cachedir_stage) {
    if (args.size() != 4 && args.size() != 5) return 64;
    HelperDir dir(args, 0, number(args[2]), args.size() == 5 ? number(args[4]) : 1);
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
