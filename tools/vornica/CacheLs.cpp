// vornica cache ls: one row per cache directory.
#include <cstdio>
#include <iostream>

#include "tools/vornica/CacheCommands.h"

namespace {
struct LsOptions {
    std::string type;
    std::string app;
    bool noSize = false;
};

Json rowJson(const CacheEntry& e, uint32_t cutoff) {
    Json row;
    row["path"] = e.path;
    row["tal_cell"] = e.talCell;
    row["app"] = e.app;
    putTime(row, "time_stamp", e.timeStamp);
    row["state"] = e.state.sound() ? stateName(e.state.state) : "damaged";
    if (!e.state.sound()) row["state_problem"] = e.state.describe();
    if (e.state.atime != 0) putTime(row, "access_time", e.state.atime);
    else row["access_time"] = nullptr;
    if (e.sized) row["size_bytes"] = e.sizeBytes;
    row["held"] = e.heldName();
    row["old"] = e.cleanupTime() != 0 && e.cleanupTime() < cutoff;
    return row;
}

int run(const LsOptions& o) {
    const CacheKind& kind = cacheKindNamed(o.type);
    const uint32_t app = o.app.empty() ? 0 : parseAppNumber(o.app);
    auto fs = openCacheFs(kind);
    const std::string root = fs->getCacheFs();
    std::vector<std::string> problems;
    const std::vector<CacheEntry> entries = scanCache(root, app, !o.noSize, problems);
    if (app != 0 && entries.empty() && problems.empty())
        failWith(kExitFailure, "no cache directories of app " + o.app + " under " + root);
    const uint32_t cutoff = cleanupCutoff(*fs, JobResultsCacheFs::getCurrentTime());
    for (const CacheEntry& e : entries) {
        if (!e.state.sound()) problems.push_back(e.path + ": " + e.state.describe());
        if (e.sizeError != 0) problems.push_back("cannot measure " + e.sizeFailedPath + ": " + errnoText(e.sizeError));
    }
    if (globalOptions().json) {
        Json doc;
        doc["root"] = root;
        doc["type"] = kind.name;
        putTime(doc, "old_before", cutoff);
        doc["directories"] = Json::array();
        for (const CacheEntry& e : entries) doc["directories"].push_back(rowJson(e, cutoff));
        doc["problems"] = problems;
        printJson(doc);
    } else {
        std::cout << "root " << root << " (" << kind.name << "), old before " << rfc3339(cutoff) << "\n";
        std::printf("%-6s %-6s %-10s %-25s %-10s %-25s %12s %-9s %-3s %s\n", "CELL", "APP", "STAMP", "TIME", "STATE",
                    "ACCESSED", "SIZE_BYTES", "HELD", "OLD", "PATH");
        for (const CacheEntry& e : entries) {
            const Json row = rowJson(e, cutoff);
            std::printf("%-6u %-6u %-10u %-25s %-10s %-25s %12s %-9s %-3s %s\n", e.talCell, e.app, e.timeStamp,
                        rfc3339(e.timeStamp).c_str(), row["state"].get<std::string>().c_str(),
                        e.state.atime != 0 ? rfc3339(e.state.atime).c_str() : "-",
                        e.sized ? std::to_string(e.sizeBytes).c_str() : "-", e.heldName(),
                        row["old"].get<bool>() ? "yes" : "no", e.path.c_str());
        }
        std::cout << entries.size() << (entries.size() == 1 ? " directory\n" : " directories\n");
        std::cout.flush();
        for (const std::string& p : problems) warn(p);
    }
    if (globalOptions().json)
        for (const std::string& p : problems) warn(p);
    return problems.empty() ? kExitOk : kExitPartial;
}
}  // namespace

void addCacheLs(CLI::App& cache) {
    auto options = std::make_shared<LsOptions>();
    CLI::App* ls = cache.add_subcommand("ls", "list the cache directories: state, access time, size, lock, age");
    addTypeOption(*ls, options->type);
    ls->add_option("--app", options->app, "only this application number");
    ls->add_flag("--no-size", options->noSize, "skip the walk that measures each directory");
    ls->callback([options] { throw ToolExit{run(*options)}; });
}
