// Paging files: results kept in the temporary directory under the name
// PagingFile_Job_<job>_[<sequence>_]<anything><kind's extension>, with the map <name>.map beside
// them (kinds 7, 12 and 20: in the client's temporary directory), and the restore filter files
// made here from a job's restore.out.
//
// The search lock PAGING_FILESEARCH orders the processes that look for paging files and make
// restore filter files: a reader of a filtered kind holds it from its search until the file it
// made has its final name, so two readers never make the same file twice. A filter file is
// written under a temporary name that no search matches, created exclusively (no link is
// followed) with mode 0600, and renamed into place only when complete; a second filter file of
// the same job, kind and second takes the next free name PagingFile_Job_<job>_<time>_<n>.
//
// A reader accepts only regular files directly inside the temporary directory whose names
// start with "PagingFile_" (kinds 7, 12 and 20 also "OrphanFilesList.krf"), and deletes only
// such names, so no request can have it read or remove a file elsewhere.
//
// Several paging files of one job and kind: the newest is served.
//
// Stale maps: when a search sees a paging file and its map, it deletes the map if it was last
// changed before the paging file (the file was rewritten or appended to after the map was
// built); the next page request rebuilds it.
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>

#include "Indexing/idxport/CXDirectory.h"
#include "Indexing/idxport/FsEntryStatus.h"
#include "Indexing/idxport/FsPrimitives.h"
#include "JobResults/PagingResultsDir.h"
#include "JobResults/RetrieveResults.h"
#include "Platform/MDLock.h"
#include "Platform/TempNames.h"

namespace {

constexpr const char* kOrphanFilesList = "OrphanFilesList.krf";
constexpr const char* kMapSuffix = ".map";
constexpr int kMaxNameAttempts = 1000;

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool startsWith(const std::string& text, const char* head) { return text.compare(0, strlen(head), head) == 0; }

// The directory as a path compares: without a trailing separator (the root stays "/").
std::string withoutTrailingSep(std::string dir) {
    while (dir.size() > 1 && dir.back() == kPathSep) dir.pop_back();
    return dir;
}

std::string jobPart(int64_t jobId) { return std::string(PagingResultsDir::kPagingPrefix) + "Job_" + std::to_string(jobId) + "_"; }

// The statuses a restore filter kind keeps.
bool keptStatus(uint32_t kind, long status) {
    switch (kind) {
        case kRestoreSucceeded: return status == 1 || status == 2 || status == 5 || status == 11;
        case kRestoreFailed: return status == 3 || status == 10 || status == 12;
        case kRestoreSkipped: return status == 4 || status == 6 || status == 7 || status == 8;
        default: return false;
    }
}

// The status at the end of a restore line: the decimal number after its last blank, running to
// the line end. False when there is none.
bool restoreStatus(const char* line, size_t length, long& status) {
    const void* blank = memrchr(line, ' ', length);
    if (blank == nullptr) return false;
    const char* digit = static_cast<const char*>(blank) + 1;
    const char* end = line + length;
    if (digit == end || end - digit > 9) return false;
    status = 0;
    for (; digit < end; ++digit) {
        if (*digit < '0' || *digit > '9') return false;
        status = status * 10 + (*digit - '0');
    }
    return true;
}

// A name for fileName_ or mapName_ (released with delete[]); null when out of memory.
char* newCopy(const std::string& text) {
    char* copy = new (std::nothrow) char[text.size() + 1];
    if (copy != nullptr) memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

}  // namespace

RetrieveResults::RetrieveResults(ResultsFile kind, const char* path, const char* clientName, unsigned int sequence)
    : ResultsBase(0, clientName) {
    setDebugPrefix("RETRIEVERESULTS");
    fileType_ = kind;
    if (!pagingDir_) pagingDir_ = std::make_unique<PagingResultsDir>(clientName);
    computePagingNames(kind, sequence, path, clientName);
}

RetrieveResults::RetrieveResults(int64_t jobId, ResultsFile kind, unsigned int sequence, const char* clientName)
    : ResultsBase(jobId, clientName) {
    setDebugPrefix("RETRIEVERESULTS");
    fileType_ = kind;
    computePagingNames(kind, sequence, nullptr, clientName);
}

bool RetrieveResults::computePagingNames(ResultsFile kind, unsigned int sequence, const char* path,
                                         const char* clientName) {
    freeNames();
    if (kind == kResultsNone) return true;
    std::string chosen;
    if (path == nullptr) {
        char found[kPagingPathSize];
        if (!findPagingFile(kind, sequence, found, clientName)) {
            debug(1, "file not exist\n");
            return true;
        }
        chosen = found;
    } else {
        chosen = path;
    }
    const std::string tempDir = getHalcyTempDir(clientName);
    if (!acceptPagingPath(chosen, tempDir, kind)) return true;

    if (!pagingDir_) pagingDir_ = std::make_unique<PagingResultsDir>(clientName);
    pagingDir_->setPath(parentPath(chosen).c_str());
    fileName_ = newCopy(chosen);
    if (fileName_ == nullptr) {
        debug(1, "fileName strdup failed, errno %d\n", ENOMEM);
        return true;
    }
    std::string map = chosen + kMapSuffix;
    if (mapInTempDirectory(kind)) {
        const std::string name = lastPathComponent(chosen);
        map = joinPath(tempDir, name == kOrphanFilesList ? name + "_" + std::to_string(sequence) + kMapSuffix
                                                         : name + kMapSuffix);
    }
    mapName_ = newCopy(map);
    if (mapName_ == nullptr) {
        debug(1, "mapName strdup failed, errno %d\n", ENOMEM);
        return true;
    }
    return false;
}

bool RetrieveResults::acceptPagingPath(const std::string& path, const std::string& tempDir, uint32_t kind) {
    if (tempDir.empty()) {
        debug(1, "Unable to get temp directory");
        return false;
    }
    if (path.find(kPathSep) == std::string::npos) {
        debug(1, "%s has no directory part\n", path.c_str());
        return false;
    }
    const std::string name = lastPathComponent(path);
    if (name.empty()) {
        debug(1, "File name is invalid");
        return false;
    }
    const bool pagingName = startsWith(name, PagingResultsDir::kPagingPrefix) ||
                            (mapInTempDirectory(kind) && name == kOrphanFilesList);
    if (!pagingName || withoutTrailingSep(parentPath(path)) != withoutTrailingSep(tempDir)) {
        debug(1, "%s is not a paging file of the temporary directory %s: refused\n", path.c_str(), tempDir.c_str());
        return false;
    }
    FsEntryStatus status;
    if (fsEntryStatus(path.c_str(), status) != 0 || !status.isRegular()) {
        debug(1, "%s is not a regular file (code %d): refused\n", path.c_str(), errno);
        return false;
    }
    return true;
}

bool RetrieveResults::isOwnPagingName(const char* path) const {
    if (!pagingDir_ || pagingDir_->getPath() == nullptr) return false;
    const std::string text = path;
    const std::string name = lastPathComponent(text);
    return withoutTrailingSep(parentPath(text)) == withoutTrailingSep(pagingDir_->getPath()) &&
           (startsWith(name, PagingResultsDir::kPagingPrefix) || startsWith(name, kOrphanFilesList));
}

bool RetrieveResults::setFile(const char* path, const char* clientName) {
    return !computePagingNames(static_cast<ResultsFile>(fileType_), 0, path, clientName);
}

void RetrieveResults::cleanup() {
    if (fileType_ != kPagingKind7 && fileType_ != kPagingKind12 && fileName_ != nullptr) {
        if (!isOwnPagingName(fileName_))
            debug(1, "cleanup: %s is no paging file: kept\n", fileName_);
        else if (fsUnlink(fileName_) != 0 && errno != ENOENT)
            debug(1, "Failed to delete file [%s], code %d", fileName_, errno);
    }
    if (mapName_ != nullptr) {
        if (!isOwnPagingName(mapName_))
            debug(1, "cleanup: %s is no paging map: kept\n", mapName_);
        else if (fsUnlink(mapName_) != 0 && errno != ENOENT)
            debug(1, "Failed to delete map [%s], code %d", mapName_, errno);
    }
}

bool RetrieveResults::findPagingFile(ResultsFile kind, unsigned int sequence, char* found, const char* clientName) {
    MDLock lock(PagingResultsDir::kSearchLock);
    if (!lock.set(PagingResultsDir::kLockWaitMs)) {
        debug(1, "%s not granted within %lu ms: search given up\n", PagingResultsDir::kSearchLock,
              PagingResultsDir::kLockWaitMs);
        return false;
    }
    PagingSearch seen;
    if (!searchPagingFile(kind, sequence, clientName, seen)) return false;
    if (seen.file.size() >= kPagingPathSize) {
        debug(1, "paging file path too long: %s\n", seen.file.c_str());
        return false;
    }
    memcpy(found, seen.file.c_str(), seen.file.size() + 1);
    return true;
}

bool RetrieveResults::searchPagingFile(ResultsFile kind, unsigned int sequence, const char* clientName,
                                       PagingSearch& seen) {
    const char* ext = pagingFileExtension(kind);
    if (ext == nullptr) {
        debug(1, "Unsupported file type %d", static_cast<int>(kind));
        return false;
    }
    seen.dir = getHalcyTempDir(clientName);
    if (seen.dir.empty()) {
        debug(1, "Unable to get temp directory");
        return false;
    }
    std::string prefix = jobPart(jobId_);
    if (sequence != 0) prefix += std::to_string(sequence) + "_";
    const std::string mapTail = std::string(ext) + kMapSuffix;

    CXDirectory listing;
    if (listing.open(seen.dir.c_str()) != 0) {
        debug(1, "cannot open dir '%s', code %d", seen.dir.c_str(), listing.getLastError());
        return false;
    }
    // The whole listing is read: when several paging files match, the newest is taken (ties by
    // name), whatever order the directory lists them in, with the map of the same stem.
    std::map<std::string, int64_t> maps;  // stem -> modification time
    std::string stem;
    while (const char* entry = listing.read()) {
        const std::string name = entry;
        if (!startsWith(name, prefix.c_str())) continue;
        const bool isMap = endsWith(name, mapTail);
        if (!isMap && !endsWith(name, ext)) continue;
        const std::string path = joinPath(seen.dir, name);
        FsEntryStatus status;
        if (fsEntryStatus(path.c_str(), status) != 0) {
            debug(1, "cannot stat '%s', code %d", path.c_str(), errno);
            continue;
        }
        if (!status.isRegular()) {
            debug(1, "%s is not a regular file: passed over\n", path.c_str());
            continue;
        }
        const std::string thisStem = name.substr(0, name.size() - (isMap ? mapTail.size() : strlen(ext)));
        if (isMap) {
            maps[thisStem] = status.modifiedNs;
        } else if (seen.file.empty() || status.modifiedNs > seen.fileNs ||
                   (status.modifiedNs == seen.fileNs && path > seen.file)) {
            seen.file = path;
            seen.fileNs = status.modifiedNs;
            stem = thisStem;
        }
    }
    if (listing.getLastError() != 0) {
        debug(1, "cannot read dir '%s', code %d", seen.dir.c_str(), listing.getLastError());
        return false;
    }
    const auto map = maps.find(stem);
    if (!seen.file.empty() && map != maps.end()) {
        seen.map = joinPath(seen.dir, stem + mapTail);
        seen.mapNs = map->second;
    }
    if (!seen.file.empty() && !seen.map.empty() && seen.mapNs < seen.fileNs) {
        if (fsUnlink(seen.map.c_str()) != 0 && errno != ENOENT)
            debug(1, "cannot unlink map file %s, code %d", seen.map.c_str(), errno);
        seen.map.clear();
    }
    if (!pagingDir_) {
        pagingDir_ = std::make_unique<PagingResultsDir>(clientName);
        pagingDir_->setPath(seen.dir.c_str());
    }
    return !seen.file.empty();
}

void RetrieveResults::setUpRestoreFilter(const char* clientName) {
    MDLock lock(PagingResultsDir::kSearchLock);
    if (!lock.set(PagingResultsDir::kLockWaitMs)) {
        debug(1, "%s not granted within %lu ms: no restore filter file\n", PagingResultsDir::kSearchLock,
              PagingResultsDir::kLockWaitMs);
        return;
    }
    PagingSearch seen;
    if (searchPagingFile(static_cast<ResultsFile>(fileType_), 0, clientName, seen)) {
        const std::string restore = joinPath(cacheDir_, resultsFileName(kResultsRestore));
        FsEntryStatus restoreStatus;
        const bool remake = fsEntryStatus(restore.c_str(), restoreStatus) == 0 && restoreStatus.modifiedNs > seen.fileNs;
        if (!remake) {
            fileName_ = newCopy(seen.file);
            mapName_ = newCopy(seen.file + kMapSuffix);
            if (fileName_ == nullptr || mapName_ == nullptr) debug(1, "fileName strdup failed, errno %d\n", ENOMEM);
            return;
        }
        debug(1, "%s changed after %s was made: the filter file is made anew\n", restore.c_str(), seen.file.c_str());
        for (const std::string& stale : {seen.file, seen.map}) {
            if (!stale.empty() && fsUnlink(stale.c_str()) != 0 && errno != ENOENT)
                debug(1, "Failed to delete file [%s], code %d", stale.c_str(), errno);
        }
    }
    if (generateRestoreFilterFile(clientName)) {
        debug(1, "generateRestoreFilterFile failed\n");
        return;
    }
    mapName_ = newCopy(std::string(fileName_) + kMapSuffix);
    if (mapName_ == nullptr) debug(1, "fileName strdup failed, errno %d\n", ENOMEM);
}

bool RetrieveResults::generateRestoreFilterFile(const char* clientName) {
    const uint32_t kind = fileType_;
    fileType_ = kResultsRestore;
    const bool named = !computeFileNames(kResultsRestore);
    if (!named || cacheDir_ == nullptr || fileName_ == nullptr || mapName_ == nullptr) {
        debug(1, "generateRestoreFilterFile: initializations failed\n");
        freeNames();
        fileType_ = kind;
        return true;
    }
    // Only read here: the job's directory is never opened for writing by a reader.
    if (resultsDir_.open(true)) {
        debug(1, "generateRestoreFilterFile: cache open failed (dir %s)\n", cacheDir_);
        freeNames();
        fileType_ = kind;
        return true;
    }
    CXFile restore;
    if (restore.open(fileName_, sfReadOnly, 0, 0, sfRegularFileOnly) != 0) {
        generateFile(fileName_);
        if (restore.open(fileName_, sfReadOnly, 0, 0, sfRegularFileOnly) != 0) {
            debug(1, "generateRestoreFilterFile: cannot open or create file %s, code %d\n", fileName_,
                  restore.getLastError());
            resultsDir_.close();
            freeNames();
            fileType_ = kind;
            return true;
        }
    }
    const std::string restoreName = fileName_;
    freeNames();
    fileType_ = kind;

    const std::string tempDir = getHalcyTempDir(clientName);
    bool failed = true;
    if (tempDir.empty())
        debug(1, "Unable to get temp directory");
    else if (pagingFileExtension(kind) == nullptr)
        debug(1, "Unsupported file type %d", static_cast<int>(kind));
    else
        failed = writeRestoreFilter(restore, tempDir, kind, restoreName.c_str());
    if (restore.close() != 0) debug(1, "Unable to close file %s, code %d\n", restoreName.c_str(), restore.getLastError());
    resultsDir_.close();
    if (failed) return true;
    if (!pagingDir_) pagingDir_ = std::make_unique<PagingResultsDir>(clientName);
    pagingDir_->setPath(tempDir.c_str());
    return false;
}

bool RetrieveResults::writeRestoreFilter(CXFile& restore, const std::string& tempDir, uint32_t kind,
                                         const char* restoreName) {
    const std::string base = jobPart(jobId_) + std::to_string(PagingResultsDir::now());
    CXFile out;
    std::string tempPath;
    // Host, pid and a random part ("<base>.tmp.<host>.<pid>.<random>", still a paging file's
    // name, so the age cleanup takes one a killed reader left): a reader on another host that
    // shares the directory with the same pid never gets this name; a collision takes another.
    for (int attempt = 0;; ++attempt) {
        tempPath = joinPath(tempDir, TempNames::make(base, "tmp"));
        if (out.open(tempPath.c_str(), sfCreateNew, 0, 0600, sfRegularFileOnly) == 0) break;
        if (out.getLastError() != kErrFileExists || attempt == kMaxNameAttempts) {
            debug(1, "generateRestoreFilterFile: cannot create '%s', code %d", tempPath.c_str(), out.getLastError());
            return true;
        }
    }
    bool failed = filterRestoreLines(restore, out, kind, restoreName);
    if (!failed && (out.bufWriteFlush() != 0 || out.close() != 0)) {
        debug(1, "generateRestoreFilterFile: cannot write '%s', code %d", tempPath.c_str(), out.getLastError());
        failed = true;
    }
    out.close();
    for (int n = 1; !failed; ++n) {
        const std::string name = joinPath(tempDir, base + (n > 1 ? "_" + std::to_string(n) : "") + pagingFileExtension(kind));
        if (fsRenameNoReplace(tempPath.c_str(), name.c_str()) == 0) {
            // A map already under the new file's name (the temporary directory may be shared)
            // is not this file's: it goes before the first page, which builds the real one.
            const std::string map = name + kMapSuffix;
            if (fsUnlink(map.c_str()) != 0 && errno != ENOENT) {
                debug(1, "generateRestoreFilterFile: cannot remove '%s', code %d", map.c_str(), errno);
                fsUnlink(name.c_str());
                return true;
            }
            fileName_ = newCopy(name);
            if (fileName_ != nullptr) return false;
            debug(1, "fileName strdup failed, errno %d\n", ENOMEM);
            fsUnlink(name.c_str());
            return true;
        }
        if (errno != EEXIST || n == kMaxNameAttempts) {
            debug(1, "generateRestoreFilterFile: cannot rename '%s' to '%s', code %d", tempPath.c_str(), name.c_str(),
                  errno);
            failed = true;
        }
    }
    fsUnlink(tempPath.c_str());
    return true;
}

bool RetrieveResults::filterRestoreLines(CXFile& restore, CXFile& out, uint32_t kind, const char* restoreName) {
    constexpr unsigned long kBlock = 64 * 1024;
    std::string block(kBlock, '\0');
    std::string line;            // the line being gathered, with its line end once complete
    bool overlong = false;       // the current line outgrew any restore line: it is passed over
    for (;;) {
        const long got = restore.read(block.data(), kBlock);
        if (got < 0) {
            debug(1, "generateRestoreFilterFile: getLine failed in file %s, code %d\n", restoreName,
                  restore.getLastError());
            return true;
        }
        if (got == 0) return false;  // an unterminated last line is still being written: left out
        const char* from = block.data();
        const char* end = from + got;
        while (from < end) {
            const char* newline = static_cast<const char*>(memchr(from, '\n', static_cast<size_t>(end - from)));
            const char* stop = newline != nullptr ? newline + 1 : end;
            if (!overlong) line.append(from, static_cast<size_t>(stop - from));
            if (line.size() > kLineBuffer) {
                overlong = true;
                line.clear();
            }
            from = stop;
            if (newline == nullptr) break;
            size_t length = line.size() - 1;
            if (length > 0 && line[length - 1] == '\r') --length;
            long status = 0;
            if (!overlong && restoreStatus(line.data(), length, status) && keptStatus(kind, status) &&
                out.bufWrite(line.data(), line.size()) < 0) {
                debug(1, "generateRestoreFilterFile: cannot write, code %d", out.getLastError());
                return true;
            }
            line.clear();
            overlong = false;
        }
    }
}
