#include <cstdlib>

#include "HelperCommand.h"
#include "Indexing/indexcachedir/JobResultsCacheDir.h"

// cachedir_create_resumable TALCELL APP TIMESTAMP: creates that directory and closes it at once
// as one that may still be resumed; exits 0 when both succeeded.
HELPER_COMMAND(cachedir_create_resumable) {
    if (args.size() != 3) return 64;
    JobResultsCacheDir dir(1, std::strtoul(args[0].c_str(), nullptr, 10), std::strtoul(args[1].c_str(), nullptr, 10), 7,
                           static_cast<BackupType>(1), 0, TCacheIndex);
    dir.initialize(nullptr);
    if (dir.create(std::strtoul(args[2].c_str(), nullptr, 10)) == nullptr) return 2;
    return dir.close(true) == 0 ? 0 : 1;
}
