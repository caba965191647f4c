// vornica cache sweep: the periodic cleanup, run once now exactly as a job would run it (it
// sweeps only when the "dINDEXCLEANALLDAYS" setting is there and the last sweep is that old).
#include <iostream>

#include "Indexing/idxport/FsEntryStatus.h"
#include "Indexing/indexcachedir/JobResultsCacheDir.h"
#include "tools/vornica/CacheCommands.h"

namespace {
int64_t markerTime(const std::string& path) {
    FsEntryStatus status;
    return fsEntryStatus(path.c_str(), status) == 0 ? status.modifiedNs : -1;
}

int run(const std::string& type) {
    const CacheKind& kind = cacheKindNamed(type);
    auto fs = openCacheFs(kind);
    const std::string marker = std::string(fs->getCacheFs()) + "/periodicCleanup";
    const int64_t before = markerTime(marker);
    JobResultsCacheDir dir(kind.appType, 0, 0, 0, static_cast<BackupType>(1), 0, kind.cacheType);
    dir.initializeLike(*fs);
    const int result = dir.periodicCleanup();
    const int64_t after = markerTime(marker);
    const bool swept = after != before;
    if (globalOptions().json) {
        printJson({{"root", fs->getCacheFs()}, {"swept", swept}, {"result", result}, {"marker", marker}});
    } else {
        std::cout << (result != 0 ? "the periodic cleanup failed"
                      : swept     ? "swept " + std::string(fs->getCacheFs())
                                  : "no sweep due (no dINDEXCLEANALLDAYS setting, or the last sweep is recent)")
                  << "\n";
        std::cout.flush();
    }
    if (result != 0) failWith(kExitFailure, "the periodic cleanup of " + std::string(fs->getCacheFs()) + " failed (see the debug log)");
    return kExitOk;
}
}  // namespace

void addCacheSweep(CLI::App& cache) {
    auto type = std::make_shared<std::string>();
    CLI::App* sweep = cache.add_subcommand("sweep", "run the periodic cleanup once now, as the library would");
    addTypeOption(*sweep, *type);
    sweep->callback([type] { throw ToolExit{run(*type)}; });
}

void addCacheCommands(CLI::App& cache) {
    addCacheLs(cache);
    addCacheShow(cache);
    addCacheClean(cache);
    addCacheSweep(cache);
    cache.require_subcommand(1);
}
