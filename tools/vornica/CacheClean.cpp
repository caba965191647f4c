// vornica cache clean: the library's own cleanup by age (then by space for one app), reporting
// what became of each directory. --dry-run predicts the same from what it reads, taking no lock.
#include <algorithm>
#include <cerrno>
#include <iostream>

#include "Indexing/idxport/FsEntryStatus.h"
#include "Platform/VolumeFacts.h"
#include "tools/vornica/CacheCommands.h"

namespace {
struct CleanOptions {
    std::string type;
    std::string app;
    bool dryRun = false;
    long olderThanDays = -1;
    int freePercent = -1;
};

struct Decision {
    const CacheEntry* entry;
    bool eligible = false;  // the cleanup's rules would remove it, were it not held
    std::string reason;
};

Decision decide(const CacheEntry& e, uint32_t cutoff, uint32_t now, bool byFreeSpace) {
    Decision d{&e, false, std::string()};
    const uint32_t t = e.cleanupTime();
    if (t == 0) {
        const bool stale = now > e.timeStamp && now - e.timeStamp > 86400;
        d.eligible = stale;
        d.reason = stale ? "State unreadable and the directory older than a day"
                         : "State unreadable, but the directory is less than a day old";
    } else if (t < cutoff) {
        d.eligible = true;
        d.reason = "older than the cut-off";
    } else {
        d.reason = byFreeSpace ? "too recent; removed only while the free-space goal is not met" : "too recent";
    }
    return d;
}

std::string heldReason(const CacheEntry& e) { return std::string("held (") + e.heldName() + " lock) by another process"; }

void report(const std::string& action, const Decision& d, const std::string& reason) {
    const CacheEntry& e = *d.entry;
    if (globalOptions().json) {
        Json line{{"message_type", "directory"}, {"path", e.path}, {"action", action}, {"reason", reason}};
        if (e.sized) line["size_bytes"] = e.sizeBytes;
        printJson(line);
    } else {
        std::cout << action << "  " << e.path << "  " << (e.sized ? humanBytes(e.sizeBytes) : "-") << "  " << reason
                  << "\n";
    }
}

int run(const CleanOptions& o) {
    const CacheKind& kind = cacheKindNamed(o.type);
    const uint32_t app = o.app.empty() ? 0 : parseAppNumber(o.app);
    if (o.freePercent > 99) failWith(kExitUsage, "--free " + std::to_string(o.freePercent) + ": a percentage from 0 to 99");
    auto fs = openCacheFs(kind);
    const std::string root = fs->getCacheFs();
    if (o.olderThanDays >= 0) fs->setNumDays(static_cast<unsigned>(o.olderThanDays));
    // Without --free the run is by age only: the library's default goal would also remove recent
    // directories of the app on a full disk, which nobody asked for here.
    fs->setDiskFree(o.freePercent >= 0 ? static_cast<unsigned>(o.freePercent) : 0);
    const uint32_t now = JobResultsCacheFs::getCurrentTime();
    const uint32_t cutoff = cleanupCutoff(*fs, now);

    std::vector<std::string> problems;
    std::vector<CacheEntry> entries = scanCache(root, app, true, problems);
    if (app != 0 && entries.empty() && problems.empty())
        failWith(kExitFailure, "no cache directories of app " + o.app + " under " + root);
    std::sort(entries.begin(), entries.end(), [](const CacheEntry& a, const CacheEntry& b) {
        return a.cleanupTime() < b.cleanupTime();
    });
    const bool byFreeSpace = o.freePercent > 0 && app != 0;
    std::vector<Decision> decisions;
    for (const CacheEntry& e : entries) decisions.push_back(decide(e, cutoff, now, byFreeSpace));

    VolumeSpace before, after;
    volumeSpace(root.c_str(), before);
    int result = 1;
    if (!o.dryRun)
        result = fs->cleanUp(0, true, true, true, 0, app, 0, 0, 0, 0);
    volumeSpace(root.c_str(), after);

    uint64_t gained = 0;
    unsigned removed = 0, kept = 0, heldKept = 0, failedKept = 0;
    for (const Decision& d : decisions) {
        const CacheEntry& e = *d.entry;
        if (o.dryRun) {
            if (d.eligible && !e.held()) {
                ++removed;
                gained += e.sizeBytes;
                report("would-remove", d, d.reason);
            } else {
                ++kept;
                heldKept += d.eligible ? 1 : 0;
                report("keep", d, d.eligible ? heldReason(e) : d.reason);
            }
            continue;
        }
        FsEntryStatus status;
        if (fsEntryStatus(e.path.c_str(), status) != 0 && errno == ENOENT) {
            ++removed;
            gained += e.sizeBytes;
            report("removed", d, d.eligible ? d.reason : "removed to meet the free-space goal");
            continue;
        }
        ++kept;
        CacheEntry again = e;
        inspect(again, false);
        if (d.eligible && again.held()) {
            ++heldKept;
            report("kept", d, heldReason(again));
        } else if (d.eligible) {
            ++failedKept;
            report("kept", d, "the cleanup left it (see the debug log)");
        } else {
            report("kept", d, d.reason);
        }
    }
    Json summary{{"message_type", "summary"}, {"root", root}, {"dry_run", o.dryRun}};
    putTime(summary, "old_before", cutoff);
    summary["removed"] = removed;
    summary["kept"] = kept;
    summary["space_gained_bytes"] = gained;
    summary["free_before_bytes"] = before.availableBytes;
    if (!o.dryRun) summary["free_after_bytes"] = after.availableBytes;
    summary["total_bytes"] = before.totalBytes;
    if (!o.dryRun) summary["goal_met"] = result == 1;
    if (globalOptions().json) {
        printJson(summary);
    } else {
        std::cout << (o.dryRun ? "would remove " : "removed ") << removed << ", kept " << kept << ", "
                  << (o.dryRun ? "would gain " : "gained ") << humanBytes(gained) << "; free "
                  << humanBytes(o.dryRun ? before.availableBytes : after.availableBytes) << " of "
                  << humanBytes(before.totalBytes) << "\n";
        std::cout.flush();
    }
    for (const std::string& p : problems) warn(p);
    if (result < 0) failWith(kExitFailure, "the cleanup of " + root + " failed (see the debug log)");
    if (failedKept != 0 || !problems.empty()) return kExitPartial;
    if (heldKept != 0) return kExitLockNotObtained;
    return kExitOk;
}
}  // namespace

void addCacheClean(CLI::App& cache) {
    auto options = std::make_shared<CleanOptions>();
    CLI::App* clean = cache.add_subcommand("clean", "remove old cache directories through the library's cleanup");
    addTypeOption(*clean, options->type);
    clean->add_flag("--dry-run", options->dryRun, "report what would go; read only, takes no lock, changes nothing");
    clean->add_option("--older-than", options->olderThanDays, "DAYS: old means older than this (default: the settings, 15)")
        ->check(CLI::Range(0L, 36500L));
    clean->add_option("--free", options->freePercent, "PERCENT: with --app, also remove that app's recent directories until this much of the disk is free")
        ->check(CLI::Range(0, 99));
    clean->add_option("--app", options->app, "only this application number");
    clean->callback([options] { throw ToolExit{run(*options)}; });
}
