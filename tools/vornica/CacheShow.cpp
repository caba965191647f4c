// vornica cache show DIR: one directory in full, with the processes that hold its State lock.
#include <iostream>

#include "Indexing/idxport/CXDirectory.h"
#include "Indexing/idxport/CXFile.h"
#include "Indexing/idxport/FsEntryStatus.h"
#include "Indexing/indexcachedir/JobResultsCacheDir.h"
#include "tools/vornica/CacheCommands.h"

namespace {
struct ShowOptions {
    std::string type;
    std::string directory;
};

const char* roleOf(const char* name) {
    const std::string n = name;
    if (n == "State") return "state and lock file";
    if (n == "JobId") return "job id file";
    if (JobResultsCacheDir::IsSnapMetaFile(name, 0)) return "snapshot metadata";
    return "index file";
}

Json filesOf(const std::string& path, std::vector<std::string>& problems) {
    Json files = Json::array();
    CXDirectory dir;
    if (dir.open(path.c_str()) != 0) {
        problems.push_back("cannot list " + path + ": " + errnoText(dir.getLastError()));
        return files;
    }
    std::vector<std::string> names;
    for (char* name = dir.read(); name != nullptr; name = dir.read())
        if (std::string(name) != "." && std::string(name) != "..") names.push_back(name);
    dir.close();
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        FsEntryStatus status;
        const bool known = fsEntryStatus((path + "/" + name).c_str(), status) == 0;
        const char* kind = !known ? "vanished"
                           : status.kind == FsEntryStatus::Kind::Directory ? "directory"
                           : status.kind == FsEntryStatus::Kind::Link      ? "link"
                           : status.kind == FsEntryStatus::Kind::Regular   ? "file"
                                                                           : "other";
        files.push_back({{"name", name}, {"kind", kind}, {"role", roleOf(name.c_str())}});
    }
    return files;
}

Json holdersOf(const CacheEntry& e, std::string& note) {
    Json holders = Json::array();
    if (!e.held()) return holders;
    LockHolderScan scan;
    const int error = findLockHolders(e.probe, CXFile::kLockOffset, scan);
    if (error != 0) {
        note = "held; /proc cannot be listed to name the holder: " + errnoText(error);
        return holders;
    }
    for (const LockHolder& h : scan.holders)
        holders.push_back({{"pid", h.pid}, {"fd", h.fd}, {"lock", h.exclusive ? "exclusive" : "shared"},
                           {"command", h.command}});
    if (scan.holders.empty())
        note = scan.unreadableProcesses != 0
                   ? "held, not by any process whose descriptors this account may read (" +
                         std::to_string(scan.unreadableProcesses) +
                         " processes of other accounts: run as root to see them), or by a process on another host"
                   : "held, not on this host";
    return holders;
}

int run(const ShowOptions& o) {
    const CacheKind& kind = cacheKindNamed(o.type);
    CacheEntry e = entryForPath(o.directory, true);
    auto fs = openCacheFs(kind);
    const std::string root = fs->getCacheFs();
    const std::string expected = root + "/" + std::to_string(e.talCell) + "/" + std::to_string(e.app) + "/" +
                                 std::to_string(e.timeStamp);
    std::vector<std::string> problems;
    if (!e.state.sound()) problems.push_back(e.path + ": " + e.state.describe());
    if (e.sizeError != 0) problems.push_back("cannot measure " + e.sizeFailedPath + ": " + errnoText(e.sizeError));

    Json doc;
    doc["path"] = e.path;
    doc["type"] = kind.name;
    doc["under_root"] = e.path == expected;
    doc["tal_cell"] = e.talCell;
    doc["app"] = e.app;
    putTime(doc, "time_stamp", e.timeStamp);
    Json state;
    state["bytes"] = e.state.bytes;
    state["name"] = e.state.sound() ? stateName(e.state.state) : "damaged";
    if (e.state.state >= 0) state["digit"] = e.state.state;
    if (!e.state.lineEnd.empty()) state["line_end"] = e.state.lineEnd;
    if (e.state.atime != 0) putTime(state, "access_time", e.state.atime);
    if (!e.state.sound()) state["problem"] = e.state.describe();
    doc["state"] = state;
    if (e.sized) doc["size_bytes"] = e.sizeBytes;

    Json jobId = nullptr;
    FsEntryStatus status;
    if (fsEntryStatus((e.path + "/JobId").c_str(), status) == 0) {
        JobResultsCacheDir dir(kind.appType, e.talCell, e.app, 0, static_cast<BackupType>(1), e.timeStamp, kind.cacheType);
        dir.initializeLike(*fs);
        int64_t job = 0;
        std::string mediaAgent;
        unsigned phase = 0, attempt = 0, counter = 0;
        if (e.path == expected) {
            dir.readJobIdFile(&job, &mediaAgent, &phase, &attempt, &counter);
            jobId = {{"job_id", job}, {"phase", phase}, {"attempt", attempt}, {"write_counter", counter},
                     {"media_agent", mediaAgent}};
        } else {
            problems.push_back("the job id file is read only for a directory of the " + std::string(kind.name) +
                               " cache root " + root + " (see --type)");
        }
    }
    doc["job_id_file"] = jobId;
    doc["files"] = filesOf(e.path, problems);
    doc["held"] = e.heldName();
    std::string note;
    doc["holders"] = holdersOf(e, note);
    if (!note.empty()) doc["holders_note"] = note;

    if (globalOptions().json) {
        printJson(doc);
    } else {
        std::cout << "directory   " << e.path << (e.path == expected ? "" : "  (not under the configured root " + root + ")")
                  << "\ntalCell     " << e.talCell << "\napp         " << e.app << "\ntime stamp  " << e.timeStamp
                  << "  " << rfc3339(e.timeStamp) << "\nstate       " << e.state.describe();
        if (!e.state.lineEnd.empty()) std::cout << " (lines end in " << e.state.lineEnd << ")";
        std::cout << "\naccessed    " << (e.state.atime != 0 ? std::to_string(e.state.atime) + "  " + rfc3339(e.state.atime) : "-")
                  << "\nsize        " << (e.sized ? std::to_string(e.sizeBytes) + " bytes (" + humanBytes(e.sizeBytes) + ")" : "-")
                  << "\njob id file ";
        if (jobId.is_null())
            std::cout << "none";
        else
            std::cout << "job " << jobId["job_id"] << ", phase " << jobId["phase"] << ", attempt " << jobId["attempt"]
                      << ", write counter " << jobId["write_counter"] << ", media agent "
                      << jobId["media_agent"].get<std::string>();
        std::cout << "\nfiles      ";
        for (const Json& f : doc["files"]) std::cout << " " << f["name"].get<std::string>();
        std::cout << "\nlock        " << e.heldName() << "\n";
        for (const Json& h : doc["holders"])
            std::cout << "  held by pid " << h["pid"] << " (" << h["lock"].get<std::string>() << ", fd " << h["fd"]
                      << "): " << h["command"].get<std::string>() << "\n";
        if (!note.empty()) std::cout << "  " << note << "\n";
        std::cout.flush();
    }
    for (const std::string& p : problems) warn(p);
    return e.state.sound() ? (problems.empty() ? kExitOk : kExitPartial) : kExitFailure;
}
}  // namespace

void addCacheShow(CLI::App& cache) {
    auto options = std::make_shared<ShowOptions>();
    CLI::App* show = cache.add_subcommand("show", "one cache directory: State decoded, job id file, files, lock holders");
    addTypeOption(*show, options->type);
    show->add_option("DIR", options->directory, "the cache directory (<root>/<talCell>/<app>/<timeStamp>)")->required();
    show->callback([options] { throw ToolExit{run(*options)}; });
}
