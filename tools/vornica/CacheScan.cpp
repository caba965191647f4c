#include "tools/vornica/CacheScan.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iostream>

#include "Indexing/idxport/CXDirectory.h"
#include "Indexing/idxport/CXFile.h"
#include "Indexing/idxport/FsEntryStatus.h"
#include "Platform/VolumeFacts.h"

namespace {
bool numericName(const char* name, uint32_t& value) {
    if (*name == '\0') return false;
    uint64_t number = 0;
    for (const char* c = name; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') return false;
        number = number * 10 + static_cast<uint64_t>(*c - '0');
        if (number > 0xFFFFFFFFull) return false;
    }
    value = static_cast<uint32_t>(number);
    return true;
}

bool isDirectoryEntry(const std::string& path) {
    FsEntryStatus status;
    return fsEntryStatus(path.c_str(), status) == 0 && status.kind == FsEntryStatus::Kind::Directory;
}

// The numeric subdirectories of path, sorted; a line in problems when it cannot be listed.
std::vector<std::pair<uint32_t, std::string>> numericSubdirectories(const std::string& path,
                                                                      std::vector<std::string>& problems) {
    std::vector<std::pair<uint32_t, std::string>> out;
    CXDirectory dir;
    if (dir.open(path.c_str()) != 0) {
        problems.push_back("cannot list " + path + ": " + errnoText(dir.getLastError()));
        return out;
    }
    for (char* name = dir.read(); name != nullptr; name = dir.read()) {
        uint32_t value = 0;
        if (!numericName(name, value)) continue;
        const std::string child = path + "/" + name;
        if (isDirectoryEntry(child)) out.emplace_back(value, child);
    }
    if (dir.getLastError() != 0) problems.push_back("cannot list " + path + ": " + errnoText(dir.getLastError()));
    dir.close();
    std::sort(out.begin(), out.end());
    return out;
}
}  // namespace

const char* stateName(int state) {
    switch (state) {
        case 0: return "complete";
        case 1: return "suspended";
        case 2: return "reading";
        case 3: return "writing";
        default: return "unknown";
    }
}

std::string StateInfo::describe() const {
    if (error != 0) return "unreadable State: " + errnoText(error);
    if (!problem.empty()) return "damaged State: " + problem;
    return stateName(state);
}

StateInfo readState(const std::string& directory) {
    StateInfo info;
    CXFile file;
    if (file.open((directory + "/State").c_str(), sfReadOnly, 0, 0, sfRegularFileOnly) != 0) {
        info.error = file.getLastError();
        return info;
    }
    if (file.readWhole(info.bytes) != 0) {
        info.error = file.getLastError();
        return info;
    }
    const std::string& b = info.bytes;
    if (b.size() < 2) {
        info.problem = b.empty() ? "empty file" : "shorter than one line";
        return info;
    }
    if (b[0] >= '0' && b[0] <= '3') info.state = b[0] - '0';
    else info.problem = "first byte is not a state digit 0-3";
    size_t line2 = 0;
    if (b[1] == '\n') {
        info.lineEnd = "LF";
        line2 = 2;
    } else if (b[1] == '\r' && b.size() > 2 && b[2] == '\n') {
        info.lineEnd = "CRLF";
        line2 = 3;
    } else {
        if (info.problem.empty()) info.problem = "the state line does not end after one digit";
        return info;
    }
    size_t end = line2;
    uint64_t atime = 0;
    while (end < b.size() && b[end] >= '0' && b[end] <= '9' && atime <= 0xFFFFFFFFull)
        atime = atime * 10 + static_cast<uint64_t>(b[end++] - '0');
    if (end == line2 || atime > 0xFFFFFFFFull) {
        if (info.problem.empty()) info.problem = "no access time on line 2";
        return info;
    }
    info.atime = static_cast<uint32_t>(atime);
    return info;
}

const char* CacheEntry::heldName() const {
    if (probeError != 0) return "unknown";
    switch (probe.held) {
        case LockHeld::None: return "none";
        case LockHeld::Shared: return "shared";
        case LockHeld::Exclusive: return "exclusive";
    }
    return "unknown";
}

void inspect(CacheEntry& entry, bool withSize) {
    entry.state = readState(entry.path);
    entry.probeError = probeByteLock((entry.path + "/State").c_str(), CXFile::kLockOffset, entry.probe);
    if (withSize) {
        TreeUsage usage;
        entry.sizeError = treeUsage(entry.path.c_str(), usage, &entry.sizeFailedPath);
        entry.sizeBytes = usage.bytes;
        entry.sized = entry.sizeError == 0;
    }
}

std::vector<CacheEntry> scanCache(const std::string& root, uint32_t app, bool withSize,
                                  std::vector<std::string>& problems) {
    std::vector<CacheEntry> entries;
    // Measuring a large cache takes a while: a person at a terminal sees it move; a script or a
    // log gets only the result.
    const bool progress = withSize && stderrIsTerminal();
    for (const auto& [talCell, cellPath] : numericSubdirectories(root, problems)) {
        for (const auto& [appNumber, appPath] : numericSubdirectories(cellPath, problems)) {
            if (app != 0 && appNumber != app) continue;
            for (const auto& [stamp, path] : numericSubdirectories(appPath, problems)) {
                CacheEntry entry;
                entry.path = path;
                entry.talCell = talCell;
                entry.app = appNumber;
                entry.timeStamp = stamp;
                inspect(entry, withSize);
                entries.push_back(std::move(entry));
                if (progress && entries.size() % 100 == 0) std::cerr << "\rmeasured " << entries.size() << " directories" << std::flush;
            }
        }
    }
    if (progress && entries.size() >= 100) std::cerr << "\r\033[K" << std::flush;
    return entries;
}

CacheEntry entryForPath(const std::string& given, bool withSize) {
    std::string path = given;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    CacheEntry entry;
    entry.path = path;
    uint32_t* parts[] = {&entry.timeStamp, &entry.app, &entry.talCell};
    std::string rest = path;
    for (uint32_t* part : parts) {
        const size_t slash = rest.rfind('/');
        const std::string name = slash == std::string::npos ? rest : rest.substr(slash + 1);
        if (!numericName(name.c_str(), *part))
            failWith(kExitUsage, "'" + given + "' is not a cache directory: it ends in <talCell>/<app>/<timeStamp>, all numbers");
        rest = slash == std::string::npos ? std::string() : rest.substr(0, slash);
    }
    FsEntryStatus status;
    if (fsEntryStatus(path.c_str(), status) != 0) failWith(kExitFailure, "cache directory " + path + ": " + errnoText(errno));
    if (status.kind != FsEntryStatus::Kind::Directory)
        failWith(kExitFailure, path + " is not a directory (a link or a file is never followed)");
    inspect(entry, withSize);
    return entry;
}

uint32_t cleanupCutoff(const JobResultsCacheFs& fs, uint32_t now) {
    if (fs.getCutoffTime() != 0) return static_cast<uint32_t>(fs.getCutoffTime());
    const uint64_t span = static_cast<uint64_t>(fs.getNumDays()) * 86400u;
    return span >= now ? 0 : static_cast<uint32_t>(now - span);
}

uint32_t parseAppNumber(const std::string& text) {
    uint32_t value = 0;
    if (!numericName(text.c_str(), value) || value == 0)
        failWith(kExitUsage, "--app '" + text + "' is not an application number (a whole number from 1 to 4294967295)");
    return value;
}
