// The job id file "JobId", the job counters and the integrity-check switches.
//
// The file holds one line, "<job id>:<phase>:<attempt>:<write counter> <media agent>" ended by
// CR LF, or in its older form "<job id> <media agent>". It is read as a text-mode reader sees
// it: CR LF comes in as LF, the line ends at its first LF and is read up to 2047 bytes; a file
// with LF line ends reads the same. It is replaced whole (a temporary file renamed over it), so
// a reader never meets a half-written line from this library; a line damaged otherwise is never
// taken for a job's own.
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include "Indexing/icommon/IdentityHelpers.h"
#include "Indexing/icommon/SafeFileOps.h"
#include "Indexing/idxport/CXDirectory.h"
#include "Indexing/idxport/FsEntryStatus.h"
#include "Indexing/idxport/FsPrimitives.h"
#include "Indexing/idxport/FsSync.h"
#include "Indexing/indexcachedir/JobResultsCacheDir.h"
#include "Platform/AtomicRewrite.h"
#include "Platform/KRPI_Focus.h"
#include "Platform/KRPI_Session.h"
#include "Platform/TempNames.h"

namespace {
constexpr const char* kJobIdFile = "JobId";
constexpr const char* kTempTag = "tmp";
constexpr size_t kLineBuffer = 2048;  // a line is read up to 2047 bytes, as fgets into 2048

std::atomic<uint32_t> integrityCheckFlags{0x94};

// The first line of raw as a text-mode reader returns it: CR LF read as LF, ending after its
// first LF or at 2047 bytes. line receives it with a terminating zero (a NUL byte in the file
// ends the text early, as it does for C string functions).
void firstTextLine(const char* raw, size_t got, char (&line)[kLineBuffer]) {
    size_t length = 0;
    for (size_t i = 0; i < got && length < kLineBuffer - 1; ++i) {
        if (raw[i] == '\r' && i + 1 < got && raw[i + 1] == '\n') continue;
        line[length++] = raw[i];
        if (raw[i] == '\n') break;
    }
    line[length] = '\0';
}

// An unsigned decimal at the start of text, read as the C scanner reads one: leading blanks
// skipped, then digits up to the first other character. False without a digit, for a sign, or
// for a value above max (a wrapped number would name another job).
bool readUnsigned(const char* text, uint64_t max, uint64_t& value) {
    while (*text == ' ' || *text == '\t') ++text;
    if (*text < '0' || *text > '9') return false;
    value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        const uint64_t digit = static_cast<uint64_t>(*text - '0');
        if (value > (max - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

bool readCounter(const char* text, unsigned& value) {
    uint64_t number = 0;
    if (!readUnsigned(text, UINT32_MAX, number)) return false;
    value = static_cast<unsigned>(number);
    return true;
}
}  // namespace

void JobResultsCacheDir::setIntegrityCheckFlags(unsigned flags) { integrityCheckFlags = flags; }

bool JobResultsCacheDir::isIntegrityCheckEnabled(Enum_IC_IntegrityCheck check) {
    return ((integrityCheckFlags.load() >> (static_cast<unsigned>(check) % 32)) & 1u) != 0;
}

std::string JobResultsCacheDir::jobIdFilePath(const char* op) {
    if (cacheDir_ != nullptr) return joinPath(cacheDir_, kJobIdFile);
    debug(1, "%s: no cacheDir\n", op);
    return std::string();
}

void JobResultsCacheDir::createJobIdFile() {
    static const char* const op = "IndexCacheDir::createJobIdFile";
    if (!isInitialized()) return;
    const std::string path = jobIdFilePath(op);
    if (path.empty()) return;
    if (jobId_ == 0) {
        debug(1, "%s: no job id\n", op);
        return;
    }
    KRPI_Session session;
    session.setFocus(KRPI_Focus::getFocus());
    const std::string host = getMyHostName(getClientName());
    if (host.empty()) debug(1, "KRPI_Session::getHostName failed\n");

    char numbers[80];
    snprintf(numbers, sizeof numbers, "%" PRIu64 ":%u:%u:%u ", static_cast<uint64_t>(jobId_), jobPhaseNumber_,
             jobAttemptNumber_, jobIndexWriteCounter_);
    // Written under the directory's exclusive lock: the temporaries of this host's writers that
    // died before their rename can go now.
    removeJobIdTemporaries(false);
    const char* step = nullptr;
    const int error = replaceJobIdFile(path, numbers + host + "\r\n", step);
    if (error != 0) debug(1, "%s: cannot %s file '%s', code %d\n", op, step, path.c_str(), error);
}

// The whole line goes to a temporary file of a fresh name (host, process and a random part,
// created exclusively, never through a link), synced, given the mode of the file it replaces
// and renamed over it: a reader sees the old line or the new. 0, or the error and its step.
int JobResultsCacheDir::replaceJobIdFile(const std::string& path, const std::string& line, const char*& step) {
    const std::string temp = TempNames::make(path, kTempTag);
    CXFile file;
    step = "fopen";
    if (file.open(temp.c_str(), sfCreateNew, 0, 0666, sfRegularFileOnly) != 0) return file.getLastError();
    int error = 0;
    step = "fprintf to";
    if (file.replaceContents(line.data(), line.size()) != 0) error = file.getLastError();
    FsEntryStatus old;
    if (error == 0 && fsEntryStatus(path.c_str(), old) == 0 && old.isRegular()) {
        if (const int kept = copyOwnership(path, temp); kept != 0)
            debug(1, "IndexCacheDir::createJobIdFile: cannot give '%s' the mode of '%s', code %d\n", temp.c_str(),
                  path.c_str(), kept);
    }
    step = "fclose";
    if (file.close() != 0 && error == 0) error = file.getLastError();
    if (error == 0 && fsRename(temp.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) {
        fsUnlink(temp.c_str());
        return error;
    }
    fsSyncDirectory(cacheDir_);
    return 0;
}

// True for a temporary name of the job id file; parsed tells whose it is (empty host for the
// older "JobId.tmp.<pid>" form, which names no host).
static bool isJobIdTemporary(const char* name, TempNames::Parsed& parsed) {
    if (TempNames::parse(name, kJobIdFile, kTempTag, parsed)) return true;
    static const std::string older = std::string(kJobIdFile) + "." + kTempTag + ".";
    if (strncmp(name, older.c_str(), older.size()) != 0) return false;
    const char* digits = name + older.size();
    if (*digits == '\0' || strspn(digits, "0123456789") != strlen(digits)) return false;
    parsed.host.clear();
    parsed.pid = 0;
    return true;
}

void JobResultsCacheDir::removeJobIdTemporaries(bool copies) {
    if (cacheDir_ == nullptr) return;
    CXDirectory entries;
    if (entries.open(cacheDir_) != 0) {
        debug(1, "IndexCacheDir: cannot list '%s' for job id temporaries, code %d\n", cacheDir_,
              entries.getLastError());
        return;
    }
    std::vector<std::string> doomed;
    for (const char* name = entries.read(); name != nullptr; name = entries.read()) {
        TempNames::Parsed parsed;
        if (!isJobIdTemporary(name, parsed)) continue;
        // Copies are this object's own; otherwise only leftovers: this host's names whose process
        // is gone, another host's once unchanged for long (its process ids cannot be judged here).
        const std::string path = joinPath(cacheDir_, name);
        if (copies || (!parsed.host.empty() && TempNames::isLeftover(parsed, path))) doomed.push_back(path);
    }
    entries.close();
    for (const std::string& path : doomed)
        if (safeUnlink(path.c_str()) != 0)
            debug(1, "IndexCacheDir: cannot remove '%s', code %d\n", path.c_str(), errno);
}

void JobResultsCacheDir::readJobIdFile(int64_t* jobId, std::string* maName, unsigned* phase, unsigned* attempt,
                                       unsigned* counter) {
    readJobIdLine(jobId, maName, phase, attempt, counter);
}

JobResultsCacheDir::JobIdFileRead JobResultsCacheDir::readJobIdLine(int64_t* jobId, std::string* maName,
                                                                    unsigned* phase, unsigned* attempt,
                                                                    unsigned* counter) {
    static const char* const op = "IndexCacheDir::readJobIdFile";
    if (!isInitialized()) return JobIdFileRead::Missing;
    if (jobId != nullptr) *jobId = 0;
    if (maName != nullptr) maName->clear();
    if (phase != nullptr) *phase = 0;
    if (attempt != nullptr) *attempt = 0;
    if (counter != nullptr) *counter = 0;
    const std::string path = jobIdFilePath(op);
    if (path.empty()) return JobIdFileRead::Missing;
    char raw[kLineBuffer];
    size_t got = 0;
    if (fsReadFileHead(path.c_str(), raw, sizeof raw, got) != 0) {
        const int code = errno;
        debug(1, "%s: cannot fopen file '%s', code %d\n", op, path.c_str(), code);
        jobIdReadError_ = code;
        return code == ENOENT ? JobIdFileRead::Missing : JobIdFileRead::Unreadable;
    }
    if (got == 0) {
        debug(1, "%s: cannot fgets file '%s' for job id, code %d\n", op, path.c_str(), 0);
        return JobIdFileRead::Damaged;
    }
    char line[kLineBuffer];
    firstTextLine(raw, got, line);

    const char* colon1 = strchr(line, ':');
    const char* colon2 = colon1 != nullptr ? strchr(colon1 + 1, ':') : nullptr;
    const char* colon3 = colon2 != nullptr ? strchr(colon2 + 1, ':') : nullptr;
    if (colon1 != nullptr && colon2 == nullptr) {
        debug(1, "%s: cannot detect attempt number in '%s'\n", op, path.c_str());
        return JobIdFileRead::Damaged;
    }
    if (colon2 != nullptr && colon3 == nullptr) {
        debug(1, "%s: cannot detect counter in '%s'\n", op, path.c_str());
        return JobIdFileRead::Damaged;
    }
    const char* blank = strchr(colon3 != nullptr ? colon3 + 1 : line, ' ');
    if (blank == nullptr) {
        debug(1, "%s: cannot detect MA name in '%s'\n", op, path.c_str());
        return JobIdFileRead::Damaged;
    }

    uint64_t id = 0;
    if (!readUnsigned(line, UINT64_MAX, id)) {
        debug(1, "%s: %s in '%s'\n", op, jobId != nullptr ? "Invalid jobIdPtr" : "Invalid jobId", path.c_str());
        return JobIdFileRead::Damaged;
    }
    if (jobId != nullptr) {
        *jobId = static_cast<int64_t>(id);
    } else {
        jobId_ = static_cast<int64_t>(id);
        setJobId(jobId_);
    }

    unsigned phaseRead = 0, attemptRead = 0, counterRead = 0;
    if (colon1 != nullptr) {
        if (!readCounter(colon1 + 1, phaseRead)) {
            debug(1, "%s: Invalid phaseno in '%s'\n", op, path.c_str());
            return JobIdFileRead::Damaged;
        }
        (phase != nullptr ? *phase : jobPhaseNumber_) = phaseRead;
        if (!readCounter(colon2 + 1, attemptRead)) {
            debug(1, "%s: Invalid attempt in '%s'\n", op, path.c_str());
            return JobIdFileRead::Damaged;
        }
        (attempt != nullptr ? *attempt : jobAttemptNumber_) = attemptRead;
        if (!readCounter(colon3 + 1, counterRead)) {
            debug(1, "%s: ERROR: Invalid counter in '%s'\n", op, path.c_str());
            return JobIdFileRead::Damaged;
        }
        (counter != nullptr ? *counter : jobIndexWriteCounter_) = counterRead;
        if (maName != nullptr) maName->assign(blank + 1, strcspn(blank + 1, "\r\n"));
    } else {
        // The older form names no phase or attempt: both are 0; the name keeps its line end.
        (phase != nullptr ? *phase : jobPhaseNumber_) = 0;
        (attempt != nullptr ? *attempt : jobAttemptNumber_) = 0;
        if (maName != nullptr) maName->assign(blank + 1);
    }
    return JobIdFileRead::Read;
}

void JobResultsCacheDir::removeJobIdFile() {
    static const char* const op = "IndexCacheDir::removeJobIdFile";
    if (!isInitialized()) return;
    const std::string path = jobIdFilePath(op);
    if (path.empty()) return;
    if (safeUnlink(path.c_str()) != 0) debug(1, "%s: cannot unlink file '%s', code %d\n", op, path.c_str(), errno);
}

bool JobResultsCacheDir::isJobIdFileValid(std::string* reason) {
    int64_t f = 0;
    std::string name;
    unsigned phase = 0, attempt = 0, c = 0;
    const JobIdFileRead read = readJobIdLine(&f, &name, &phase, &attempt, &c);
    const int64_t j = jobId_;
    const unsigned w = jobIndexWriteCounter_;
    // A file that is there but holds no whole line (damaged, or left by a writer that died
    // half-way) or cannot be read proves nothing about who wrote the directory: a job never
    // takes it for its own.
    if ((read == JobIdFileRead::Damaged || read == JobIdFileRead::Unreadable) && j != 0) {
        debug(1, "ERROR: IC job id file of '%s' cannot be read, not accepted for job %" PRId64 ".", cacheDir_, j);
        if (reason != nullptr) *reason = "IC was not created by previous or current job";
        return false;
    }
    if (f != 0 && j != 0) {
        if (f != j) {
            debug(4, "ERROR: IC was created by the different job (%" PRId64 " instead of %" PRId64 ").", f, j);
            if (reason != nullptr) *reason = "IC was not created by previous or current job";
            return false;
        }
        if (c != 0 && w != 0) {
            if (c < w) {
                debug(1, "ERROR: Indexing token mismatch found. Old token=%u < new token=%d", c, static_cast<int>(w));
                if (reason != nullptr) *reason = "Indexing token mismatch found.";
                return false;
            }
            return true;
        }
        debug(c == 0 && w == 0 ? 8 : 1, "Warning: Indexing token mismatch check skipped. Old token=%u, new token=%d", c,
              static_cast<int>(w));
        return true;
    }
    debug(f != 0 || j != 0 ? 1 : 8, "JobId mismatch check skipped. Old token=%u, new token=%d", c, static_cast<int>(w));
    return true;
}
