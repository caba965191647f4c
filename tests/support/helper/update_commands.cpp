#include <cstdlib>
#include <fstream>
#include <sstream>

#include "HelperCommand.h"
#include "Indexing/indexcachedir/JobResultsCacheDir.h"

namespace {
unsigned long number(const std::string& text) { return std::strtoul(text.c_str(), nullptr, 10); }
}  // namespace

// cachedir_read TALCELL APP TIMESTAMP: opens that directory for reading and prints its state digit
// and the text of its "index.dat", or "null ERRNO"; closes it on a line.
HELPER_COMMAND(cachedir_read) {
    if (args.size() != 3) return 64;
    JobResultsCacheDir dir(1, number(args[0]), number(args[1]), 0, static_cast<BackupType>(1), 0, TCacheIndex);
    dir.initialize(nullptr);
    const char* path = dir.open(number(args[2]), true);
    if (path == nullptr) {
        helperSay("null " + std::to_string(dir.getErrno()));
        return 1;
    }
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
    JobResultsCacheDir dir(1, number(args[0]), number(args[1]), static_cast<int64_t>(number(args[2])),
                           static_cast<BackupType>(1), 0, TCacheIndex);
    dir.initialize(nullptr);
    const char* path = dir.resume(0, false);
    helperSay(path != nullptr ? path : "null " + std::to_string(dir.getErrno()));
    helperAwaitLine();
    return path != nullptr ? 0 : 1;
}

// cachedir_update TALCELL APP: updates from the app's newest directory by a rename (copying
// switched off) and prints the new path or "null ERRNO"; holds it until a line arrives.
HELPER_COMMAND(cachedir_update) {
    if (args.size() != 2) return 64;
    JobResultsCacheDir dir(1, number(args[0]), number(args[1]), 0, static_cast<BackupType>(1), 0, TCacheIndex);
    dir.initialize(nullptr);
    dir.copyUponUpdate(false);
    const char* path = dir.update(false, 0, false);
    helperSay(path != nullptr ? path : "null " + std::to_string(dir.getErrno()));
    helperAwaitLine();
    return path != nullptr && dir.close(false) == 0 ? 0 : 1;
}
