// Making a results file from what the writers left: the raw files of its kind in the order in
// which their writers started, or the rows of the job results table.
//
// It happens once, under the exclusive lock of the directory's State file. The file is made
// under a temporary name in the same directory (".generating.<kind>.<host>.<pid>.<random>",
// which never starts with a raw file's prefix) and put in place only when complete and synced
// (once, at the end); its input (raw files, or the table) is deleted only after that, and its map
// is made last. A crash at any point therefore leaves either no results file and all the input,
// or the complete file (and perhaps input already merged, which is never merged again because
// the file exists). Such input is recognised by raw.log, which names what the file holds and is
// put in place before it: the first page that finds no map has a generation remove it under the
// same lock. Temporary files of a generation that died are removed by the next one, which
// holds the same exclusive lock (another host's only by age, see removableLeftover).
//
// Raw files are copied in the kernel where the file systems allow it (CXFile::appendFrom): the
// data need not pass through this process, and a network share can copy on the server. The disk
// is asked to write each input out while the next is copied, so the one sync waits for little.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "Indexing/icommon/SafeFileOps.h"
#include "Indexing/idxport/CXDirectory.h"
#include "Indexing/idxport/CXErrors.h"
#include "Indexing/idxport/FsPrimitives.h"
#include "Indexing/idxport/FsSync.h"
#include "JobResults/JRGenerateCallback.h"
#include "JobResults/PagingResultsDir.h"
#include "JobResults/RetrieveResults.h"
#include "Platform/JobResultsTable.h"
#include "Platform/TempNames.h"

struct RetrieveResults::RawInput {
    uint32_t stamp = 0;
    std::string name;
    std::string path;
    bool merged = false;
};

namespace {
constexpr unsigned long kStateLockSeconds = 120;
constexpr int kStateLockAttempts = 5;
constexpr int kCreateMode = 0666;

bool startsWith(const char* name, const std::string& prefix) { return strncmp(name, prefix.c_str(), prefix.size()) == 0; }

constexpr const char* kTempBase = ".generating";

std::string tempPrefix(uint32_t kind) { return std::string(kTempBase) + "." + std::to_string(kind) + "."; }

// A temporary file (or its log) at path of an earlier generation that this one may remove: a
// leftover as TempNames::isLeftover tells (another host's only once it has not changed for a
// long time), or named by the pid alone as older versions did (those never outlive the lock
// this generation holds).
bool removableLeftover(std::string_view name, const std::string& path, uint32_t kind) {
    if (name.size() > 4 && name.substr(name.size() - 4) == ".log") name.remove_suffix(4);
    TempNames::Parsed made;
    if (TempNames::parse(name, kTempBase, std::to_string(kind), made)) return TempNames::isLeftover(made, path);
    const std::string_view pid = name.substr(tempPrefix(kind).size());
    return !pid.empty() && std::all_of(pid.begin(), pid.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Why a raw file cannot be opened when it is not a regular file (a link, a FIFO, a directory).
bool notARegularFile(int error) { return error == kErrNotRegularFile || error == ELOOP || error == EISDIR; }
}  // namespace

bool RetrieveResults::generateFile(const char* fileName) {
    if (pagingDir_ != nullptr)
        pagingDir_->close();
    else
        resultsDir_.close();
    if (cacheDir_ == nullptr || fileName == nullptr) {
        debug(1, "generateFile: no cacheDir\n");
        return true;
    }
    const std::string state = joinPath(cacheDir_, "State");
    CXFile stateFile;
    for (int attempt = 1;; ++attempt) {
        if (stateFile.open(state.c_str(), sfReadWrite, 0, 0, sfRegularFileOnly) != 0) {
            debug(1, "generateFile: cannot open '%s', code %d", state.c_str(), stateFile.getLastError());
            return true;
        }
        const int locked = stateFile.lock(sfLockExclusive, kStateLockSeconds);
        if (locked != 1) {
            debug(1, "generateFile: cannot lock (excl) '%s', ret %d, code %d", state.c_str(), locked,
                  stateFile.getLastError());
            return true;
        }
        // A lock on a State file that was removed or replaced meanwhile guards nothing.
        if (stateFile.isStillAt(state.c_str())) break;
        stateFile.close();
        if (attempt == kStateLockAttempts) {
            debug(1, "generateFile: '%s' keeps being replaced\n", state.c_str());
            return true;
        }
    }
    const char* dot = strrchr(fileName, '.');
    if (dot == nullptr) {
        debug(1, "generateFile: no . in '%s'", fileName);
        return true;
    }
    const std::string head(fileName, dot);
    const size_t slash = head.rfind(kPathSep);
    if (slash == std::string::npos) {
        debug(1, "generateFile: no %c in '%s'", kPathSep, fileName);
        return true;
    }
    // Another reader may have made the file while this one waited for the lock, or a generation
    // put it in place and was killed before it removed its input: that input goes now.
    if (fsExists(fileName)) {
        debug(2, "generateFile: '%s' is there already\n", fileName);
        for (const std::string& raw : mergedRawFiles())
            if (safeUnlink(raw.c_str()) == 0)
                debug(1, "generateFile: removed '%s', merged by an earlier generation", raw.c_str());
    } else {
        // Host, pid and a random part: the same pid on another host sharing the root never
        // gives the same name, and the exclusive creation below fails rather than share one.
        const std::string temp = joinPath(cacheDir_, TempNames::make(kTempBase, std::to_string(fileType_)));
        const std::string tempLog = temp + ".log";
        std::vector<RawInput> inputs;
        if (listRawFiles((head.substr(slash + 1) + "_").c_str(), inputs)) return true;
        bool failed;
        // A table that cannot be opened now is not missing: its rows must not be passed over.
        const int table = jrTable_ != nullptr ? jrTable_->lookUp() : ENOENT;
        if (table != 0 && table != ENOENT) {
            debug(1, "generateFile: table %s cannot be opened, code %d: %s", jrTable_->path().c_str(), table,
                  jrTable_->lastErrorText().c_str());
            return true;
        }
        if (table == 0) {
            debug(1, "generating job results from table");
            CXFile output;
            failed = output.open(temp.c_str(), sfCreateNew, 0, kCreateMode, sfRegularFileOnly) != 0;
            if (failed) debug(1, "generateFile: cannot create '%s', code %d", temp.c_str(), output.getLastError());
            failed = failed || generateFileFromTable(output);
            inputs.clear();
        } else {
            int merged = 0;
            failed = mergeRawFiles(inputs, temp, tempLog, merged);
            if (!failed && merged == 0) {
                debug(1, "generateFile: no input files in '%s'", cacheDir_);
                return true;  // nothing was created
            }
            if (!failed) debug(1, "generateFile: %d input file(s)", merged);
        }
        if (!failed && fsSyncFile(temp.c_str()) != 0) {
            debug(1, "generateFile: cannot sync '%s', code %d", temp.c_str(), errno);
            failed = true;
        }
        if (!failed && !inputs.empty() && fsRename(tempLog.c_str(), joinPath(cacheDir_, "raw.log").c_str()) != 0) {
            debug(1, "generateFile: cannot put raw.log in place, code %d", errno);
            failed = true;
        }
        // A map left from an earlier file of this name would be taken for the new file's.
        if (!failed && mapName_ != nullptr && fsUnlink(mapName_) != 0 && errno != ENOENT) {
            debug(1, "generateFile: cannot remove the old map '%s', code %d", mapName_, errno);
            failed = true;
        }
        if (!failed && fsRename(temp.c_str(), fileName) != 0) {
            debug(1, "generateFile: cannot rename '%s' to '%s', code %d", temp.c_str(), fileName, errno);
            failed = true;
        }
        if (failed) {
            safeUnlink(temp.c_str());
            safeUnlink(tempLog.c_str());
            return true;
        }
        fsSyncDirectory(cacheDir_);
        // The results file holds the input now: only from here on may the input go.
        for (const RawInput& input : inputs)
            if (input.merged && safeUnlink(input.path.c_str()) != 0)
                debug(1, "generateFile: could not remove '%s', code %d", input.path.c_str(), errno);
        if (inputs.empty() && jrTable_ != nullptr) {
            jrTable_->close();
            jrTable_->removeTable();
        }
        // The map comes last, from one pass over the new file (its pages still cached): a results
        // file without its map tells a reader that the generation may not have removed its input.
        if (rebuildMap()) debug(1, "generateFile: no map made for '%s'; the first page makes it", fileName);
        resultsFile_.close();
        mapFile_.close();
    }
    stateFile.close();  // releases the exclusive lock
    if (pagingDir_ != nullptr ? pagingDir_->open() : resultsDir_.open(true)) {
        debug(1, "generateFile: cannot reopen cache");
        return true;
    }
    return false;
}

std::vector<std::string> RetrieveResults::mergedRawFiles() {
    std::vector<std::string> found;
    const char* slash = fileName_ != nullptr ? strrchr(fileName_, kPathSep) : nullptr;
    const char* dot = fileName_ != nullptr ? strrchr(fileName_, '.') : nullptr;
    if (cacheDir_ == nullptr || slash == nullptr || dot == nullptr || dot < slash) return found;
    const std::string prefix = std::string(slash + 1, dot) + "_";
    CXFile log;
    std::string text;
    if (log.open(joinPath(cacheDir_, "raw.log").c_str(), sfReadOnly, 0, 0, sfRegularFileOnly) != 0 ||
        log.readWhole(text) != 0)
        return found;
    // "<n>: <path> begins at offset <offset>": the name alone counts, since another host may
    // reach the directory by another path.
    const std::string begins = " begins at offset ";
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
        end = std::min(text.find('\n', at), text.size());
        const std::string line = text.substr(at, end - at);
        const size_t colon = line.find(": "), tail = line.rfind(begins);
        if (colon == std::string::npos || tail == std::string::npos || tail < colon + 2) continue;
        const std::string path = line.substr(colon + 2, tail - colon - 2);
        const std::string name = path.substr(path.rfind(kPathSep) + 1);
        const std::string here = joinPath(cacheDir_, name.c_str());
        CXFile raw;  // a regular file only, as the merge took
        if (startsWith(name.c_str(), prefix) && raw.open(here.c_str(), sfReadOnly, 0, 0, sfRegularFileOnly) == 0)
            found.push_back(here);
    }
    return found;
}

bool RetrieveResults::listRawFiles(const char* prefix, std::vector<RawInput>& inputs) {
    CXDirectory dir;
    if (dir.open(cacheDir_) != 0) {
        debug(1, "generateFile: cannot open cache dir '%s', code %d", cacheDir_, dir.getLastError());
        return true;
    }
    const std::string leftover = tempPrefix(fileType_);
    const std::string rawPrefix = prefix;
    while (const char* name = dir.read()) {
        if (startsWith(name, leftover)) {
            // Only a generation that died leaves these: this one holds the exclusive lock.
            const std::string path = joinPath(cacheDir_, name);
            if (removableLeftover(name, path, fileType_) && safeUnlink(path.c_str()) == 0)
                debug(1, "generateFile: removed '%s' of an earlier attempt", name);
            continue;
        }
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || !startsWith(name, rawPrefix)) continue;
        debug(1, "generateFile: found file '%s' in '%s'", name, cacheDir_);
        RawInput input;
        input.name = name;
        input.path = joinPath(cacheDir_, name);
        const char* number = strrchr(input.path.c_str(), '_') + 1;
        char* end = nullptr;
        const long stamp = strtol(number, &end, 10);
        if (end != number) {
            input.stamp = static_cast<uint32_t>(stamp);
            debug(1, "generateFile: '%s' time stamp %lu", input.path.c_str(), static_cast<unsigned long>(input.stamp));
        } else {
            debug(1, "generateFile: '%s' Invalid time stamp", input.path.c_str());
        }
        inputs.push_back(std::move(input));
    }
    if (dir.getLastError() != 0) {
        debug(1, "generateFile: failed to read dir '%s', code %d", cacheDir_, dir.getLastError());
        return true;
    }
    // The order in which the writers started; equal stamps by name, since listings have no order.
    std::sort(inputs.begin(), inputs.end(), [](const RawInput& a, const RawInput& b) {
        return a.stamp != b.stamp ? a.stamp < b.stamp : a.name < b.name;
    });
    return false;
}

bool RetrieveResults::mergeRawFiles(std::vector<RawInput>& inputs, const std::string& tempName,
                                    const std::string& tempLog, int& merged) {
    CXFile output;
    CXFile log;
    uint64_t offset = 0;
    merged = 0;
    for (RawInput& input : inputs) {
        CXFile raw;
        // A FIFO named like a raw file would hold the merge, with the lock, for ever.
        if (raw.open(input.path.c_str(), sfReadOnly, 0, 0, sfRegularFileOnly) != 0) {
            if (notARegularFile(raw.getLastError())) {
                debug(1, "generateFile: '%s' is not a regular file, skipped", input.path.c_str());
                continue;
            }
            debug(1, "generateFile: cannot open '%s' for read, code %d", input.path.c_str(), raw.getLastError());
            return true;
        }
        if (!output.isOpen()) {
            if (output.open(tempName.c_str(), sfCreateNew, 0, kCreateMode, sfRegularFileOnly) != 0) {
                debug(1, "generateFile: cannot create '%s', code %d", tempName.c_str(), output.getLastError());
                return true;
            }
            if (log.open(tempLog.c_str(), sfCreateNew, 0, kCreateMode, sfRegularFileOnly) != 0) {
                debug(1, "generateFile: cannot create log '%s', code %d", tempLog.c_str(), log.getLastError());
                return true;
            }
        }
        char line[CXDirectory::kPathBufSize + 64];
        snprintf(line, sizeof line, "%d: %s begins at offset %" PRIu64, ++merged, input.path.c_str(), offset);
        if (log.putLine(line, true) != 0) {
            debug(1, "generateFile: cannot write to '%s', code %d", tempLog.c_str(), log.getLastError());
            return true;
        }
        const int64_t copied = output.appendFrom(raw);
        if (copied < 0) {
            debug(1, "generateFile: cannot copy '%s' to '%s', code %d", input.path.c_str(), tempName.c_str(),
                  output.getLastError());
            return true;
        }
        offset += static_cast<uint64_t>(copied);
        output.startWriteback();  // the disk writes this input while the next one is copied
        // A writer that died in the middle of a line must not join its line to the next file's.
        char last = '\n';
        if (copied > 0 && (raw.seek(copied - 1, sfSeekSet) != 0 || raw.read(&last, 1) != 1)) {
            debug(1, "generateFile: cannot read '%s', code %d", input.path.c_str(), raw.getLastError());
            return true;
        }
        if (last != '\n') {
            if (output.write("\r\n", 2) != 2) {
                debug(1, "generateFile: write to '%s' of %d bytes returned %d, code %d", tempName.c_str(), 2, -1,
                      output.getLastError());
                return true;
            }
            offset += 2;
        }
        input.merged = true;
    }
    if (output.isOpen() && output.close() != 0) {
        debug(1, "generateFile: output file close failed, code %d", output.getLastError());
        return true;
    }
    return false;
}

bool RetrieveResults::generateFileFromTable(CXFile& output) {
    JRGenerateCallback callback(output);
    const int opened = jrTable_ != nullptr ? jrTable_->open(false) : ENOENT;
    if (opened != 0) {
        debug(1, "generateFileFromTable: table open failed, code %d", opened);
        return true;
    }
    const int64_t rows = jrTable_->search(nullptr, &callback);
    // The table is kept whatever happens here: a row that could not be written is not lost.
    jrTable_->close();
    if (rows < 0) {
        debug(1, "generateFileFromTable: table traversal failed");
        return true;
    }
    debug(1, "transferred %" PRId64 " lines from the table", rows);
    if (output.close() != 0) {
        debug(1, "generateFileFromTable: output file close failed, code %d", output.getLastError());
        return true;
    }
    return false;
}
