#include <cstdlib>
#include <fstream>
#include <string>

#include "HelperCommand.h"
#include "Indexing/cacheFs/JobResultsCacheFs.h"
#include "Indexing/idxport/CXProcessId.h"

// reserve_release_behind LINE: writes the reserve file by plain stream output as this process's
// line (client id 42, 5000 blocks) followed by LINE, then gives its line back with release(all),
// which rewrites the file shorter. Exits 0 when the release returned. For a run under a tracer
// that kills the process at a chosen step of that rewrite.
HELPER_COMMAND(reserve_release_behind) {
    if (args.size() != 1) return 64;
    JobResultsCacheFs cache(1, TCacheIndex);
    cache.initialize(nullptr);
    CXProcessId me;
    me.thisProcess();
    const char* id = me.getIdString();
    if (id == nullptr) return 2;
    {
        std::ofstream out(cache.getReserveFilePath(), std::ios::binary | std::ios::trunc);
        out << "42:" << id << " 5000 " << JobResultsCacheFs::getCurrentTime() << "\r\n" << args[0] << "\r\n";
        if (!out.flush()) return 3;
    }
    return cache.release(0, true) == 0 ? 0 : 1;
}
