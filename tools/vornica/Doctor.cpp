// vornica doctor: checks an instance's settings, cache roots, volumes and log directory, each
// finding ok / warn / fail with what to do about it.
#include <iostream>

#include "Indexing/idxport/CXFile.h"
#include "Platform/VolumeFacts.h"
#include "Platform/PlatformEnv.h"
#include "tools/vornica/Commands.h"

namespace {
struct Finding {
    std::string check, status, detail, action;
};

class Doctor {
public:
    void add(std::string check, std::string status, std::string detail, std::string action = "") {
        findings_.push_back({std::move(check), std::move(status), std::move(detail), std::move(action)});
    }
    void settings();
    void root(const CacheKind& kind, bool required);
    void logDirectory();
    int report() const;

private:
    void volume(const std::string& what, const std::string& root, unsigned minFreePercent);
    void sharing(const std::string& what, const std::string& root);
    std::vector<Finding> findings_;
};

void Doctor::settings() {
    CXFile file;
    const std::string path = PlatformEnv::configPath();
    if (file.open(path.c_str(), sfReadOnly, 0, 0, sfRegularFileOnly) != 0)
        add("settings", "fail", path + ": " + errnoText(file.getLastError()), "give the settings file with --config or VORNICA_CONFIG");
    else
        add("settings", "ok", path + " is readable");
}

void Doctor::sharing(const std::string& what, const std::string& root) {
    PathAccess access;
    pathAccess(root.c_str(), access);
    if (!access.writable)
        add(what + " writable", "fail", root + " is not writable by this account", "give this account write access to " + root);
    else
        add(what + " writable", "ok", root + " is writable by this account");
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", access.mode);
    const bool shared = (access.mode & 02070) == 02070;
    if (shared)
        add(what + " sharing", "ok", std::string("mode ") + mode + ", group " + access.group + ": set-group-id and group-writable");
    else
        add(what + " sharing", "warn", std::string("mode ") + mode + ", group " + access.group +
                                           ": jobs of other accounts cannot share it",
            "when several accounts run jobs: chgrp <group> " + root + " && chmod 2775 " + root + ", and run them with umask 002");
}

void Doctor::volume(const std::string& what, const std::string& root, unsigned minFreePercent) {
    VolumeSpace space;
    if (const int error = volumeSpace(root.c_str(), space); error != 0) {
        add(what + " free space", "fail", "cannot measure " + root + ": " + errnoText(error));
    } else {
        const double percent = space.totalBytes != 0 ? 100.0 * static_cast<double>(space.availableBytes) /
                                                           static_cast<double>(space.totalBytes)
                                                     : 0;
        const std::string figures = humanBytes(space.availableBytes) + " of " + humanBytes(space.totalBytes) + " free (" +
                                    std::to_string(static_cast<int>(percent)) + " %), the cleanup keeps " +
                                    std::to_string(minFreePercent) + " %";
        if (percent < minFreePercent)
            add(what + " free space", "warn", figures, "vornica cache clean --dry-run, then vornica cache clean");
        else
            add(what + " free space", "ok", figures);
    }
    MountInfo mount;
    if (const int error = mountOf(root.c_str(), mount); error != 0) {
        add(what + " file system", "warn", "cannot find the mount of " + root + ": " + errnoText(error));
    } else {
        add(what + " file system", "ok", mount.fsType + " mounted at " + mount.mountPoint);
        const bool nfs = mount.fsType.rfind("nfs", 0) == 0;
        if (nfs && ("," + mount.options + ",").find(",nolock,") != std::string::npos)
            add(what + " nfs locks", "fail", mount.mountPoint + " is mounted with nolock: locks are seen by this host only",
                "remount without nolock (NFSv4 recommended) before jobs of several hosts share it");
    }
    bool locks = false, renames = false;
    std::string detail;
    if (const int error = probeLocksAndRenames(root.c_str(), locks, renames, detail); error != 0) {
        add(what + " probes", "fail", "cannot make a scratch file in " + root + ": " + errnoText(error));
        return;
    }
    add(what + " OFD locks", locks ? "ok" : "fail", locks ? "a second open file is kept out" : detail,
        locks ? "" : "use a file system with working OFD locks (local, NFSv4) for the cache");
    add(what + " no-replace rename", renames ? "ok" : "fail", renames ? "refuses to replace an existing name" : detail,
        renames ? "" : "use a file system that supports renameat2(RENAME_NOREPLACE) for the cache");
}

void Doctor::root(const CacheKind& kind, bool required) {
    const std::string what = std::string(kind.name) + " cache";
    auto fs = std::make_unique<JobResultsCacheFs>(kind.appType, kind.cacheType);
    fs->initialize(nullptr);
    if (!fs->isInitialized()) {
        add(what, required ? "fail" : "warn", std::string("not usable: ") + fs->jobPendingMessage(),
            required ? "set [MediaAgent] IndexCacheDirectory (see docs/configuration.md)"
                     : "set JobResultsDirectory under [~Machines\\<client>] if this host keeps job results");
        return;
    }
    const std::string root = fs->getCacheFs();
    add(what + " root", "ok", root);
    sharing(what, root);
    volume(what, root, fs->getDiskFree());
}

void Doctor::logDirectory() {
    const std::string dir = PlatformEnv::logDirectory();
    PathAccess access;
    pathAccess(dir.c_str(), access);
    if (!access.exists || !access.isDirectory)
        add("journal directory", "fail", dir + " is not a directory", "create it, or set VORNICA_DEBUG_DIR");
    else if (!access.writable)
        add("journal directory", "fail", dir + " is not writable by this account", "events and debug lines would be lost");
    else
        add("journal directory", "ok", dir + "vornica-events.jsonl");
}

int Doctor::report() const {
    bool failed = false, warned = false;
    Json list = Json::array();
    for (const Finding& f : findings_) {
        failed = failed || f.status == "fail";
        warned = warned || f.status == "warn";
        Json item{{"check", f.check}, {"status", f.status}, {"detail", f.detail}};
        if (!f.action.empty()) item["action"] = f.action;
        list.push_back(item);
    }
    if (globalOptions().json) {
        printJson({{"findings", list}, {"status", failed ? "fail" : warned ? "warn" : "ok"}});
    } else {
        for (const Finding& f : findings_) {
            std::cout << (f.status == "ok" ? "ok  " : f.status == "warn" ? "WARN" : "FAIL") << "  " << f.check << ": "
                      << f.detail << "\n";
            if (!f.action.empty()) std::cout << "      -> " << f.action << "\n";
        }
        std::cout.flush();
    }
    return failed ? kExitFailure : kExitOk;
}

int run() {
    useSettings();
    Doctor doctor;
    doctor.settings();
    doctor.root(cacheKindNamed("index"), true);
    doctor.root(cacheKindNamed("results"), false);
    doctor.logDirectory();
    return doctor.report();
}
}  // namespace

void addDoctorCommand(CLI::App& app) {
    CLI::App* doctor = app.add_subcommand("doctor", "check the instance: settings, cache roots, volumes, locks, journal");
    doctor->callback([] { throw ToolExit{run()}; });
}
