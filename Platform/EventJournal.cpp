#include "Platform/EventJournal.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <mutex>

#include "Platform/PlatformEnv.h"
#include "Platform/SettingsStore.h"

namespace {
std::recursive_mutex journalMutex;  // an observer may record in turn
int journalFd = -1;
std::string openedPath;
std::vector<JournalObserver*> observers;
std::atomic<bool> serverOffline{false};

// The length of the well-formed UTF-8 sequence at text[i] (shortest form, no surrogates, at
// most U+10FFFF), or 0.
size_t utf8Length(const std::string& text, size_t i, uint32_t& codePoint) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    const size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    if (length == 0 || i + length > text.size()) return 0;
    uint32_t cp = lead & (0x7Fu >> length);
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (byte(i + k) & 0x3F);
    }
    static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kSmallest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    codePoint = cp;
    return length;
}

// A JSON string of the text's bytes. Bytes that are not well-formed UTF-8 cannot be written as
// they are; each becomes the private-use character U+10FE00 + byte, written as the escaped pair
// "\udbff\ude80".."\udbff\udeff" (the last two digits are the byte). So that this stays
// reversible, a real U+10FE80..U+10FEFF of the text is written the same way, byte by byte.
void appendEscaped(std::string& out, const std::string& text) {
    out += '"';
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            uint32_t cp = 0;
            const size_t length = utf8Length(text, i, cp);
            if (length != 0 && (cp < 0x10FE80 || cp > 0x10FEFF)) {
                out.append(text, i, length);
                i += length;
            } else {
                char code[16];
                snprintf(code, sizeof code, "\\udbff\\ude%02x", c);
                out += code;
                ++i;
            }
            continue;
        }
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char code[8];
                    snprintf(code, sizeof code, "\\u%04x", c);
                    out += code;
                } else {
                    out += static_cast<char>(c);
                }
        }
        ++i;
    }
    out += '"';
}

std::string isoTime(int64_t timeMs) {
    time_t seconds = static_cast<time_t>(timeMs / 1000);
    tm parts{};
    gmtime_r(&seconds, &parts);
    char text[96];
    snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900, parts.tm_mon + 1,
             parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, static_cast<int>(timeMs % 1000));
    return text;
}

// The journal's size limit and how many rotated files are kept: "[EventJournal] MaxSizeKB" (default
// 32768, 32 MB) and "KeepFiles" (default 4: vornica-events.jsonl.1 .. .4). Read once per process;
// the settings reader may itself log, so a record made while they are being read uses the defaults.
struct RotationLimits {
    int64_t maxBytes = int64_t{32768} * 1024;
    int keepFiles = 4;
};
std::atomic<int> limitsState{0};  // 0 unread, 1 being read, 2 read
RotationLimits limits;

RotationLimits rotationLimits() {
    int expected = 0;
    if (limitsState.compare_exchange_strong(expected, 1)) {
        const SettingsStore settings = SettingsStore::current();
        RotationLimits read;
        if (auto kb = settings.getInteger("EventJournal", "MaxSizeKB"); kb && *kb > 0) read.maxBytes = *kb * 1024;
        if (auto keep = settings.getInteger("EventJournal", "KeepFiles"); keep && *keep >= 1 && *keep <= 99)
            read.keepFiles = static_cast<int>(*keep);
        limits = read;
        limitsState.store(2);
        return read;
    }
    return limitsState.load() == 2 ? limits : RotationLimits{};
}

// Records must never fail the caller, yet a journal that cannot be written must not go silent:
// the first failure of each kind is said once on standard error, naming the path and the cause.
void sayOnce(std::string& said, const std::string& cause, const std::string& what) {
    if (said == cause) return;
    said = cause;
    fprintf(stderr, "vornica: journal records are not written: %s\n", what.c_str());
}
std::string saidCause;

// Creates the log directory and the folders above it that are missing: anyone may create the
// journal in it (the umask decides), as in /tmp.
bool makeLogDirectory(const std::string& dir) {
    for (size_t slash = dir.find('/', 1); slash != std::string::npos; slash = dir.find('/', slash + 1)) {
        const std::string part = dir.substr(0, slash);
        if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
            sayOnce(saidCause, "mkdir " + part,
                    "cannot create the log directory " + part + ": " + strerror(errno) +
                        " (set VORNICA_DEBUG_DIR to a directory this account can write)");
            return false;
        }
    }
    return true;
}

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Opens the journal for appending. The log directory is often world-writable (/tmp): a symbolic
// link or anything but a regular file planted at the journal's name is refused, never followed.
int openJournal(const std::string& path) {
    const int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    // 0666 under the umask: other accounts of the shared group write to the same journal.
    int fd = open(path.c_str(), flags, 0666);
    if (fd < 0 && (errno == ENOENT || errno == ENOTDIR)) {
        if (!makeLogDirectory(path.substr(0, path.rfind('/') + 1))) return -1;
        fd = open(path.c_str(), flags, 0666);
    }
    struct stat st {};
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        saidCause.clear();
        return fd;
    }
    const int error = errno;
    if (fd >= 0) close(fd);
    std::string why = strerror(error);
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        why = "it is a symbolic link, which the journal never follows";
    else if (lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        why = "it is not a regular file";
    sayOnce(saidCause, "open " + path + why, "cannot open " + path + ": " + why);
    return -1;
}

// Moves the full journal aside: vornica-events.jsonl becomes .1, .1 becomes .2 and so on, the
// oldest kept file is replaced. Several processes append to the same file, so the rotation runs
// under an exclusive lock on the journal itself and only when, under the lock, the name still
// names the descriptor's file and it is still over the limit: of several writers that see the
// same full file, one rotates it and the others find it gone and reopen.
void rotateIfFull(int fd, const std::string& path, const RotationLimits& limit) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size < limit.maxBytes) return;
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    while (fcntl(fd, F_OFD_SETLKW, &whole) != 0)
        if (errno != EINTR) return;  // no rotation now; the next record tries again
    struct stat atPath {};
    if (fstat(fd, &st) == 0 && lstat(path.c_str(), &atPath) == 0 && sameFile(st, atPath) &&
        st.st_size >= limit.maxBytes) {
        for (int k = limit.keepFiles - 1; k >= 1; --k)
            rename((path + "." + std::to_string(k)).c_str(), (path + "." + std::to_string(k + 1)).c_str());
        if (rename(path.c_str(), (path + ".1").c_str()) != 0)
            sayOnce(saidCause, "rename " + path, "cannot rotate " + path + ": " + strerror(errno));
    }
    whole.l_type = F_UNLCK;
    fcntl(fd, F_OFD_SETLK, &whole);
}

void writeLine(const std::string& line) {
    const std::string path = EventJournal::journalPath();
    // Read before anything is opened: reading the settings may itself record a line.
    const RotationLimits limit = rotationLimits();
    if (journalFd >= 0) {
        // Another process may have rotated the file away: records go to the file at the name.
        struct stat opened {}, atPath {};
        if (path != openedPath || fstat(journalFd, &opened) != 0 || lstat(path.c_str(), &atPath) != 0 ||
            !sameFile(opened, atPath)) {
            close(journalFd);
            journalFd = -1;
        }
    }
    if (journalFd < 0) {
        journalFd = openJournal(path);
        if (journalFd < 0) return;  // an event is never worth failing the caller for
        openedPath = path;
    }
    // One write per line: O_APPEND keeps lines of concurrent processes whole.
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = write(journalFd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            sayOnce(saidCause, "write " + path, "cannot write " + path + ": " + strerror(n < 0 ? errno : ENOSPC));
            return;
        }
        done += static_cast<size_t>(n);
    }
    rotateIfFull(journalFd, path, limit);
}
}  // namespace

JournalArg JournalArg::ofText(const char* value) {
    JournalArg arg;
    arg.kind = Kind::Text;
    arg.text = value != nullptr ? value : "(null)";
    return arg;
}

JournalArg JournalArg::ofSigned(int64_t value) {
    JournalArg arg;
    arg.kind = Kind::Signed;
    arg.signedValue = value;
    return arg;
}

JournalArg JournalArg::ofUnsigned(uint64_t value) {
    JournalArg arg;
    arg.kind = Kind::Unsigned;
    arg.unsignedValue = value;
    return arg;
}

std::string JournalArg::toString() const {
    switch (kind) {
        case Kind::Signed: return std::to_string(signedValue);
        case Kind::Unsigned: return std::to_string(unsignedValue);
        case Kind::Text: break;
    }
    return text;
}

std::string EventJournal::toJsonLine(const JournalRecord& r) {
    std::string line = "{\"time\":";
    appendEscaped(line, isoTime(r.timeMs));
    line += ",\"pid\":" + std::to_string(r.pid) + ",\"program\":";
    appendEscaped(line, r.program);
    line += ",\"kind\":";
    appendEscaped(line, r.kind);
    line += ",\"jobId\":" + std::to_string(r.jobId) + ",\"severity\":";
    appendEscaped(line, r.severity);
    if (r.kind == "event") {
        char id[16];
        snprintf(id, sizeof id, "0x%" PRIX32, r.messageId);
        line += ",\"messageId\":";
        appendEscaped(line, id);
    } else {
        if (r.kind == "debug") line += ",\"level\":" + std::to_string(r.level);
        if (!r.function.empty()) {
            line += ",\"function\":";
            appendEscaped(line, r.function);
        }
        line += ",\"message\":";
        appendEscaped(line, r.message);
    }
    // Events always carry their arguments, job-control requests theirs when they have any.
    if (r.kind == "event" || !r.args.empty()) {
        line += ",\"args\":[";
        for (size_t i = 0; i < r.args.size(); ++i) {
            if (i > 0) line += ',';
            if (r.args[i].kind == JournalArg::Kind::Text)
                appendEscaped(line, r.args[i].text);
            else
                line += r.args[i].toString();
        }
        line += ']';
    }
    line += "}\n";
    return line;
}

void EventJournal::record(JournalRecord r) {
    if (r.timeMs == 0) {
        timeval now{};
        gettimeofday(&now, nullptr);
        r.timeMs = static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_usec / 1000;
    }
    if (r.pid == 0) r.pid = static_cast<long>(getpid());
    if (r.program.empty()) r.program = PlatformEnv::programName();

    std::lock_guard<std::recursive_mutex> guard(journalMutex);
    if (!(r.kind == "event" && serverOffline.load())) writeLine(toJsonLine(r));
    for (JournalObserver* observer : observers) observer->onRecord(r);
}

void EventJournal::addObserver(JournalObserver* observer) {
    std::lock_guard<std::recursive_mutex> guard(journalMutex);
    if (std::find(observers.begin(), observers.end(), observer) == observers.end()) observers.push_back(observer);
}

void EventJournal::removeObserver(JournalObserver* observer) {
    std::lock_guard<std::recursive_mutex> guard(journalMutex);
    observers.erase(std::remove(observers.begin(), observers.end(), observer), observers.end());
}

std::string EventJournal::journalPath() { return PlatformEnv::logDirectory() + "vornica-events.jsonl"; }

void EventJournal::closeJournal() {
    std::lock_guard<std::recursive_mutex> guard(journalMutex);
    if (journalFd >= 0) close(journalFd);
    journalFd = -1;
}

void EventJournal::setServerOffline(bool offline) { serverOffline.store(offline); }

bool EventJournal::isServerOffline() { return serverOffline.load(); }
