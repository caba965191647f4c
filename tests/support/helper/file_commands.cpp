#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>

#include "HelperCommand.h"
#include "Indexing/idxport/CXFile.h"
#include "Indexing/idxport/CXLockedMarkerFile.h"

namespace {
sfLockMode_t lockModeOf(const std::string& word) { return word == "shared" ? sfLockShared : sfLockExclusive; }
}  // namespace

// file_lock PATH exclusive|shared: holds the lock ("ready") until a line arrives; "refused"
// when another open file holds it.
HELPER_COMMAND(file_lock) {
    CXFile file;
    if (args.size() != 2 || file.open(args[0].c_str(), sfOpenOrCreate) != 0) return 2;
    int locked = file.lock(lockModeOf(args[1]), 0);
    helperSay(locked == 1 ? "ready" : "refused");
    helperAwaitLine();
    return locked == 1 ? 0 : 1;
}

// file_probe PATH exclusive|shared: prints the result of one lock attempt (1, 0 or -1).
HELPER_COMMAND(file_probe) {
    CXFile file;
    if (args.size() != 2 || file.open(args[0].c_str(), sfReadWrite) != 0) return 2;
    helperSay(std::to_string(file.lock(lockModeOf(args[1]), 0)));
    return 0;
}

// short_write PATH: with the file size limited to 100 bytes, writes 150 and prints
// "<result> <last error> <offset>".
HELPER_COMMAND(short_write) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{100, 100};
    setrlimit(RLIMIT_FSIZE, &limit);
    CXFile file;
    if (args.size() != 1 || file.open(args[0].c_str(), sfCreateNew) != 0) return 2;
    std::string data(150, 'x');
    long result = file.write(data.data(), data.size());
    helperSay(std::to_string(result) + " " + std::to_string(file.getLastError()) + " " +
              std::to_string(file.getCurOffset()));
    return 0;
}

// marker_hold FOLDER CONTENT: creates and locks FOLDER's restore marker with CONTENT, prints
// "ready" (or "failed"), holds it until a line arrives, then its destruction removes it.
HELPER_COMMAND(marker_hold) {
    if (args.size() != 2) return 64;
    CXLockedMarkerFile marker(args[0], 0);
    if (marker.openLocked(args[1].c_str()) != static_cast<int>(args[1].size() + 1)) {
        helperSay("failed");
        return 1;
    }
    helperSay("ready");
    helperAwaitLine();
    return 0;
}

// marker_check FOLDER [other-account]: prints what isLocked says of FOLDER's restore marker.
// With other-account a process of root first becomes the unprivileged account 65534 (nobody).
HELPER_COMMAND(marker_check) {
    if (args.empty() || args.size() > 2) return 64;
    if (args.size() == 2 && getuid() == 0) {
        const unsigned nobody = 65534;
        if (setgroups(0, nullptr) != 0 || setresgid(nobody, nobody, nobody) != 0 ||
            setresuid(nobody, nobody, nobody) != 0)
            return 2;
    }
    helperSay(std::to_string(CXLockedMarkerFile(args[0], 0).isLocked()));
    return 0;
}
