#include "Platform/KRSession.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>

#include "Platform/EvDebug.h"
#include "Platform/PlatformEnv.h"
#include "Platform/PlatformSleep.h"
#include "Platform/SettingsStore.h"

extern char** environ;

namespace {

constexpr size_t kReadChunk = 64 * 1024;
// Where pidfds are missing, an exited program is noticed by looking this often.
constexpr int kExitCheckStepMs = 20;

// Programs whose sessions were destroyed while they still ran; reaped without waiting by every
// later call of a session in this process (no SIGCHLD handler: the host owns its signals).
struct DetachedChild {
    pid_t pid;
    int pidFd;
};
std::mutex detachedMutex;
std::vector<DetachedChild> detachedChildren;
std::atomic<size_t> detachedCount{0};  // spares the lock on the usual empty list

int64_t nowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::vector<std::string> splitWords(const std::string& text, const char* separators) {
    std::vector<std::string> words;
    size_t pos = 0;
    while (true) {
        pos = text.find_first_not_of(separators, pos);
        if (pos == std::string::npos) break;
        size_t end = text.find_first_of(separators, pos);
        words.push_back(text.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
        if (end == std::string::npos) break;
        pos = end;
    }
    return words;
}

std::optional<std::string> sessionSetting(const SettingsStore& settings, const char* name) {
    auto value = settings.getText("Session", name);
    if (!value || value->empty()) return std::nullopt;
    return value;
}

std::string inDirectory(const std::string& dir, const std::string& name) {
    return dir + (dir.back() == '/' ? "" : "/") + name;
}

bool isExecutableFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::string searchPath() {
    const char* path = getenv("PATH");
    if (path != nullptr && *path != '\0') return path;
    char fallback[256] = {};
    size_t needed = confstr(_CS_PATH, fallback, sizeof fallback);
    return needed > 0 && needed <= sizeof fallback ? fallback : "/usr/bin:/bin";
}

// The executable NAME in the directories of a ':'-separated list (an empty entry is the
// current directory); empty when there is none.
std::string findInDirectories(const std::string& name, const std::string& directories) {
    size_t start = 0;
    while (start <= directories.size()) {
        size_t end = directories.find(':', start);
        if (end == std::string::npos) end = directories.size();
        std::string dir = directories.substr(start, end - start);
        if (dir.empty()) dir = ".";
        std::string candidate = inDirectory(dir, name);
        if (isExecutableFile(candidate)) return candidate;
        start = end + 1;
    }
    return {};
}

// One word for a POSIX shell: in single quotes, a quote inside written as '\''.
std::string shellQuoted(const std::string& word) {
    std::string quoted = "'";
    for (char c : word) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

bool sameName(const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

// Whether the requested host is this machine, known as name. A short requested name ("box")
// names this machine when name is "box" or "box.example.com". A qualified requested name
// names it only when name is that very name: "box.elsewhere.org" is another machine, whatever
// this one's short name.
bool sameHost(const std::string& requested, const std::string& name) {
    if (requested.empty() || name.empty()) return false;
    if (sameName(requested, name)) return true;
    if (requested.find('.') != std::string::npos) return false;
    const size_t nameDot = name.find('.');
    return nameDot != std::string::npos && sameName(requested, name.substr(0, nameDot));
}

bool isThisMachine(const std::string& host, const SettingsStore& settings) {
    if (sameName(host, "localhost") || host == "127.0.0.1" || host == "::1") return true;
    auto configured = sessionSetting(settings, "HostName");
    if (configured && sameHost(host, *configured)) return true;
    return sameHost(host, PlatformEnv::machineName());
}

// A host name goes to the remote shell as one argument, and ssh may hand it on to a command line
// (ProxyCommand %h): only letters, digits and ".-_:@[]" (names, user@host, IPv4 and bracketed
// IPv6 addresses), and no leading '-' that would pass for an option.
bool isAcceptableHost(const std::string& host) {
    if (host.empty() || host[0] == '-') return false;
    return std::all_of(host.begin(), host.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               std::strchr(".-_:@[]", c) != nullptr;
    });
}

unsigned long statusCode(int status) {
    if (WIFEXITED(status)) return static_cast<unsigned long>(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return 128UL + static_cast<unsigned long>(WTERMSIG(status));
    return ~0UL;
}

enum class Reap { Running, Reaped, Gone };

// Collects an exited child. Through its pidfd where there is one, so that a process id that
// was collected elsewhere and used again is never taken for ours. Gone: someone else in this
// process collected it.
Reap reapChild(pid_t pid, int pidFd, bool block, unsigned long* code) {
    if (pidFd >= 0) {
        siginfo_t info{};
        int rc;
        do {
            rc = waitid(P_PIDFD, static_cast<id_t>(pidFd), &info, WEXITED | (block ? 0 : WNOHANG));
        } while (rc < 0 && errno == EINTR);
        if (rc == 0) {
            if (info.si_pid == 0) return Reap::Running;
            *code = info.si_code == CLD_EXITED ? static_cast<unsigned long>(info.si_status)
                                               : 128UL + static_cast<unsigned long>(info.si_status);
            return Reap::Reaped;
        }
        if (errno != EINVAL) return Reap::Gone;
        // EINVAL: a kernel without waitid on pidfds; fall back to the process id.
    }
    int status = 0;
    pid_t done;
    do {
        done = waitpid(pid, &status, block ? 0 : WNOHANG);
    } while (done < 0 && errno == EINTR);
    if (done == 0) return Reap::Running;
    if (done < 0) return Reap::Gone;
    *code = statusCode(status);
    return Reap::Reaped;
}

void closeFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

}  // namespace

KRSession::KRSession() {
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    reapDetached();
}

KRSession::~KRSession() {
    if (attached_ && !reaped_) {
        closeOutput();
        tryReap(false);
        if (!reaped_) {
            std::lock_guard<std::mutex> guard(detachedMutex);
            detachedChildren.push_back(DetachedChild{static_cast<pid_t>(pid_), pidFd_});
            detachedCount.store(detachedChildren.size());
            pidFd_ = -1;  // the list owns it now
        }
    }
    closeOutput();
    closeFd(pidFd_);
    closeFd(wakeFd_);
    reapDetached();
}

void KRSession::reapDetached() {
    if (detachedCount.load() == 0) return;
    std::lock_guard<std::mutex> guard(detachedMutex);
    std::erase_if(detachedChildren, [](DetachedChild& child) {
        unsigned long code = 0;
        if (reapChild(child.pid, child.pidFd, false, &code) == Reap::Running) return false;
        closeFd(child.pidFd);
        return true;
    });
    detachedCount.store(detachedChildren.size());
}

int KRSession::fail(unsigned long code, const char* format, ...) {
    va_list args;
    va_start(args, format);
    char text[1024];
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    lastErrorCode_ = code;
    lastErrorText_ = text;
    return 0;
}

void KRSession::getLastError(unsigned long* code, char** text) {
    if (code != nullptr) *code = lastErrorCode_;
    if (text != nullptr) *text = lastErrorText_.data();
}

int KRSession::dataAgentAttach(krsExecuteRemoteCommandType* command, const char* host,
                               KRS_PLATFORMTYPE platformType) {
    reapDetached();
    if (attached_) return fail(EISCONN, "dataAgentAttach: a program already runs in this session (pid %ld)", pid_);
    if (command == nullptr) return fail(EINVAL, "dataAgentAttach: no command given");
    size_t nameLength = strnlen(command->programName, sizeof command->programName);
    size_t lineLength = strnlen(command->argumentLine, sizeof command->argumentLine);
    if (nameLength == sizeof command->programName)
        return fail(EINVAL, "dataAgentAttach: the program name is not terminated within its %zu bytes",
                    sizeof command->programName);
    if (lineLength == sizeof command->argumentLine)
        return fail(EINVAL, "dataAgentAttach: the argument line is not terminated within its %zu bytes",
                    sizeof command->argumentLine);
    if (host == nullptr || *host == '\0') return fail(EINVAL, "dataAgentAttach: no host name given");
    std::string hostName = host;
    if (!isAcceptableHost(hostName)) {
        int refused = fail(EINVAL, "dataAgentAttach: '%s' is not a valid host name", host);
        EvDebug log;
        log.Debug("KRSession::dataAgentAttach", "%s\n", lastErrorText_.c_str());
        return refused;
    }

    std::string program(command->programName, nameLength);
    if (program.size() > 4 && sameName(program.substr(program.size() - 4), ".exe")) program.resize(program.size() - 4);
    if (program.empty()) return fail(EINVAL, "dataAgentAttach: no program name given");
    // The record names a program, not a path: it cannot leave the program directory.
    if (program.find('/') != std::string::npos)
        return fail(EINVAL, "dataAgentAttach: the program name '%s' contains '/'", program.c_str());
    std::vector<std::string> arguments = splitWords(std::string(command->argumentLine, lineLength), " \t");

    SettingsStore settings = SettingsStore::current();
    auto programDirectory = sessionSetting(settings, "ProgramDirectory");
    std::string executable;
    std::vector<std::string> argv;
    if (isThisMachine(hostName, settings)) {
        if (programDirectory) {
            std::string candidate = inDirectory(*programDirectory, program);
            if (isExecutableFile(candidate)) executable = candidate;
        } else {
            executable = findInDirectories(program, searchPath());
        }
        if (executable.empty()) {
            return fail(ENOENT, "dataAgentAttach: program '%s' not found in %s", program.c_str(),
                        programDirectory ? ("ProgramDirectory " + *programDirectory).c_str() : "PATH");
        }
        argv.push_back(program);
        argv.insert(argv.end(), arguments.begin(), arguments.end());
    } else {
        std::vector<std::string> shell = splitWords(sessionSetting(settings, "RemoteShell").value_or("ssh"), " \t");
        if (shell.empty()) shell.push_back("ssh");
        executable = shell[0].find('/') != std::string::npos
                         ? (isExecutableFile(shell[0]) ? shell[0] : std::string())
                         : findInDirectories(shell[0], searchPath());
        if (executable.empty())
            return fail(ENOENT, "dataAgentAttach: remote shell '%s' not found", shell[0].c_str());
        argv = shell;
        argv.push_back(hostName);
        argv.push_back(shellQuoted(programDirectory ? inDirectory(*programDirectory, program) : program));
        for (const std::string& argument : arguments) argv.push_back(shellQuoted(argument));
    }

    if (!spawn(executable, argv)) {
        int error = errno;
        return fail(static_cast<unsigned long>(error), "dataAgentAttach: cannot start '%s' for %s: %s",
                    executable.c_str(), host, strerror(error));
    }
    EvDebug log;
    log.Debug("KRSession::dataAgentAttach", "started '%s' for %s (pid %ld, platform type %d)\n", executable.c_str(),
              host, pid_, platformType);
    return 1;
}

bool KRSession::spawn(const std::string& path, const std::vector<std::string>& argv) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    // Only our end reads without blocking; the program's end stays an ordinary pipe.
    fcntl(pipeFds[0], F_SETFL, fcntl(pipeFds[0], F_GETFL) | O_NONBLOCK);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    // dup2 first: when our standard input was closed, the pipe may sit on descriptor 0.
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    sigset_t noSignals;
    sigset_t defaults;
    sigemptyset(&noSignals);
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGCHLD, SIGALRM, SIGUSR1, SIGUSR2})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attributes, &noSignals);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> args;
    for (const std::string& word : argv) args.push_back(const_cast<char*>(word.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, path.c_str(), &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(pipeFds[1]);
    if (rc != 0) {
        close(pipeFds[0]);
        errno = rc;
        return false;
    }
    outputFd_ = pipeFds[0];
    pid_ = pid;
    // glibc's pidfd_open declaration lacks C linkage in some releases: call the kernel directly.
    // -1 on older kernels: exits are then noticed by looking.
    pidFd_ = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    reaped_ = false;
    exitStatus_ = 0;
    partialLine_.clear();
    attached_ = true;
    return true;
}

int KRSession::postMessage(unsigned long type, unsigned long secondWord, const void* data, size_t length) {
    reapDetached();
    if (data == nullptr && length != 0) return fail(EINVAL, "postMessage: %zu bytes of data without data", length);
    queue(type, secondWord, length != 0 ? std::string(static_cast<const char*>(data), length) : std::string());
    wake();
    return 1;
}

void KRSession::queue(unsigned long type, unsigned long secondWord, std::string data) {
    std::lock_guard<std::mutex> guard(queueMutex_);
    queue_.push_back(Message{type, secondWord, std::move(data)});
}

void KRSession::wake() {
    if (wakeFd_ < 0) return;
    uint64_t one = 1;
    ssize_t written = write(wakeFd_, &one, sizeof one);
    (void)written;  // a full counter already wakes the receiver
}

int KRSession::receiveMessage(unsigned long* type, unsigned long* secondWord, krsDatabuf* buffer,
                              int timeoutSeconds, int* received) {
    reapDetached();
    if (received != nullptr) *received = 0;
    if (type == nullptr || buffer == nullptr)
        return fail(EINVAL, "receiveMessage: no place given for the message type or data");
    if (buffer->data != nullptr && buffer->capacity == 0)
        return fail(EINVAL, "receiveMessage: a data buffer of no capacity");
    const bool unlimited = timeoutSeconds < 0;
    const int64_t deadline = nowMs() + (unlimited ? 0 : static_cast<int64_t>(timeoutSeconds) * 1000);
    while (true) {
        {
            std::lock_guard<std::mutex> guard(queueMutex_);
            if (!queue_.empty()) {
                const Message& message = queue_.front();
                size_t size = message.data.size();
                if (buffer->data == nullptr) {
                    char* copy = new (std::nothrow) char[size + 1];
                    if (copy == nullptr) return fail(ENOMEM, "receiveMessage: no memory for %zu bytes", size);
                    memcpy(copy, message.data.data(), size);
                    copy[size] = '\0';
                    buffer->data = copy;
                    buffer->capacity = size + 1;
                    buffer->length = size;
                    buffer->sessionOwned = 1;
                } else {
                    size_t copied = std::min<size_t>(size, buffer->capacity);
                    memcpy(buffer->data, message.data.data(), copied);
                    if (copied < buffer->capacity) buffer->data[copied] = '\0';
                    buffer->length = copied;
                }
                buffer->fullLength = size;
                buffer->truncated = buffer->length < size ? 1 : 0;
                *type = message.type;
                if (secondWord != nullptr) *secondWord = message.secondWord;
                if (received != nullptr) *received = 1;
                queue_.pop_front();
                return 1;
            }
        }
        int64_t remaining = unlimited ? -1 : std::max<int64_t>(0, deadline - nowMs());
        if (!pump(remaining)) return 0;
        if (remaining == 0) {
            std::lock_guard<std::mutex> guard(queueMutex_);
            if (queue_.empty()) return 1;  // nothing came in time
        }
    }
}

void KRSession::freeReceivedMessage(unsigned long, krsDatabuf* buffer) {
    if (buffer == nullptr) return;
    if (buffer->sessionOwned != 0) {
        delete[] buffer->data;
        buffer->data = nullptr;
        buffer->capacity = 0;
        buffer->sessionOwned = 0;
    }
    buffer->length = 0;
    buffer->fullLength = 0;
    buffer->truncated = 0;
}

// Waits up to waitMs (negative: without limit) for output, an exit or a posted message, and
// takes in what came.
bool KRSession::pump(int64_t waitMs) {
    pollfd fds[3];
    nfds_t count = 0;
    int wakeIndex = -1, outputIndex = -1, exitIndex = -1;
    if (wakeFd_ >= 0) {
        wakeIndex = static_cast<int>(count);
        fds[count++] = pollfd{wakeFd_, POLLIN, 0};
    }
    if (outputFd_ >= 0) {
        outputIndex = static_cast<int>(count);
        fds[count++] = pollfd{outputFd_, POLLIN, 0};
    }
    const bool exitPending = attached_ && !reaped_;
    if (exitPending && pidFd_ >= 0) {
        exitIndex = static_cast<int>(count);
        fds[count++] = pollfd{pidFd_, POLLIN, 0};
    }
    int timeout = waitMs < 0 ? -1 : static_cast<int>(std::min<int64_t>(waitMs, INT_MAX));
    const bool lookForExit = exitPending && pidFd_ < 0 && outputFd_ < 0;
    if (lookForExit && (timeout < 0 || timeout > kExitCheckStepMs)) timeout = kExitCheckStepMs;

    int ready = poll(fds, count, timeout);
    if (ready < 0) {
        if (errno == EINTR) return true;
        int error = errno;
        return fail(static_cast<unsigned long>(error), "receiveMessage: poll failed: %s", strerror(error)) != 0;
    }
    if (wakeIndex >= 0 && (fds[wakeIndex].revents & POLLIN) != 0) {
        uint64_t counter = 0;
        ssize_t got = read(wakeFd_, &counter, sizeof counter);
        (void)got;
    }
    if (outputIndex >= 0 && fds[outputIndex].revents != 0 && !readOutput()) return false;
    if (lookForExit || (exitIndex >= 0 && fds[exitIndex].revents != 0)) tryReap(false);
    noteEndIfComplete();
    return true;
}

bool KRSession::readOutput() {
    if (readBuffer_.empty()) readBuffer_.resize(kReadChunk);
    ssize_t got = read(outputFd_, readBuffer_.data(), readBuffer_.size());
    if (got > 0) {
        takeOutput(readBuffer_.data(), static_cast<size_t>(got));
        return true;
    }
    if (got < 0) {
        if (errno == EAGAIN || errno == EINTR) return true;
        int error = errno;
        closeOutput();
        return fail(static_cast<unsigned long>(error), "receiveMessage: reading the program's output failed: %s",
                    strerror(error)) != 0;
    }
    // The end of the output: a last line without its line end is still a line.
    if (!partialLine_.empty()) endLine();
    closeOutput();
    return true;
}

// A line too long for one message goes out in full pieces of kMaxLineBytes. A piece is handed on
// only when a byte beyond it has come that is not the line's end: partialLine_ holds up to one
// byte more than a piece, so a "\r\n" that straddles the piece size (or two reads) still ends
// the line instead of making an empty line of its own.
void KRSession::takeOutput(const char* bytes, size_t count) {
    const char* end = bytes + count;
    while (bytes < end) {
        const char* newline = static_cast<const char*>(memchr(bytes, '\n', static_cast<size_t>(end - bytes)));
        const char* stop = newline != nullptr ? newline : end;
        while (bytes < stop) {
            if (partialLine_.size() > kMaxLineBytes) handOnPiece();
            const size_t take = std::min(kMaxLineBytes + 1 - partialLine_.size(), static_cast<size_t>(stop - bytes));
            partialLine_.append(bytes, take);
            bytes += take;
        }
        if (newline == nullptr) break;
        if (!partialLine_.empty() && partialLine_.back() == '\r') partialLine_.pop_back();
        endLine();
        bytes = newline + 1;
    }
}

void KRSession::handOnPiece() {
    queue(KRS_MSG_PEER_LINE, 0, partialLine_.substr(0, kMaxLineBytes));
    partialLine_.erase(0, kMaxLineBytes);
}

// Hands on what is held of a line as its last message(s).
void KRSession::endLine() {
    if (partialLine_.size() > kMaxLineBytes) handOnPiece();
    queue(KRS_MSG_PEER_LINE, 0, std::move(partialLine_));
    partialLine_.clear();
}

void KRSession::tryReap(bool block) {
    if (!attached_ || reaped_) return;
    unsigned long code = 0;
    Reap result = reapChild(static_cast<pid_t>(pid_), pidFd_, block, &code);
    if (result == Reap::Running) return;
    reaped_ = true;
    exitStatus_ = result == Reap::Reaped ? code : ~0UL;  // Gone: its status is lost
    closeFd(pidFd_);
}

void KRSession::noteEndIfComplete() {
    if (!attached_ || !reaped_ || outputFd_ >= 0) return;
    queue(KRS_MSG_PEER_END, exitStatus_, std::string());
    releasePeer();
}

void KRSession::releasePeer() {
    closeOutput();
    closeFd(pidFd_);
    partialLine_.clear();
    attached_ = false;
    pid_ = 0;
}

void KRSession::closeOutput() { closeFd(outputFd_); }

// Waits until the attached program has exited and reaps it; false when timeoutMs (negative:
// no limit) passed first.
bool KRSession::waitForExit(int64_t timeoutMs) {
    const int64_t deadline = nowMs() + std::max<int64_t>(timeoutMs, 0);
    while (true) {
        tryReap(false);
        if (reaped_) return true;
        int64_t remaining = timeoutMs < 0 ? -1 : deadline - nowMs();
        if (timeoutMs >= 0 && remaining <= 0) return false;
        if (pidFd_ >= 0) {
            pollfd exitFd{pidFd_, POLLIN, 0};
            int wait = remaining < 0 ? -1 : static_cast<int>(std::min<int64_t>(remaining, INT_MAX));
            poll(&exitFd, 1, wait);
        } else {
            YUSLEEP(static_cast<unsigned long>(remaining < 0 ? kExitCheckStepMs
                                                             : std::min<int64_t>(remaining, kExitCheckStepMs)));
        }
    }
}

int KRSession::completeSession(int timeoutSeconds) {
    reapDetached();
    if (!attached_) return 1;
    closeOutput();
    partialLine_.clear();
    if (!waitForExit(timeoutSeconds < 0 ? -1 : static_cast<int64_t>(timeoutSeconds) * 1000))
        return fail(ETIMEDOUT, "completeSession: the program (pid %ld) has not ended within %d seconds", pid_,
                    timeoutSeconds);
    releasePeer();
    return 1;
}

// Signals the program's process group; while the program itself is unreaped, the program
// alone when the group cannot be signalled. Once it is reaped its id is still the group's while
// any member lives (the kernel does not hand out an id that a group still uses), so the
// descendants it left behind are reached too.
void KRSession::signalGroup(int sig) {
    const pid_t group = static_cast<pid_t>(pid_);
    if (kill(-group, sig) != 0 && !reaped_) kill(group, sig);
}

// Waits until the program is reaped and no member of its group is left; false when timeoutMs
// passed first.
bool KRSession::waitForGroupEnd(int64_t timeoutMs) {
    const int64_t deadline = nowMs() + timeoutMs;
    while (true) {
        if (waitForExit(std::max<int64_t>(deadline - nowMs(), 0)) && kill(-static_cast<pid_t>(pid_), 0) != 0 &&
            errno == ESRCH)
            return true;
        if (nowMs() >= deadline) return false;
        YUSLEEP(static_cast<unsigned long>(std::min<int64_t>(deadline - nowMs(), kExitCheckStepMs)));
    }
}

int KRSession::abortSession() {
    reapDetached();
    if (attached_) {
        closeOutput();
        // Also after the program has exited: a child it left in the background may still run
        // (and keep its output open).
        signalGroup(SIGTERM);
        if (!waitForGroupEnd(kAbortGraceMs)) {
            signalGroup(SIGKILL);
            tryReap(true);
        }
        releasePeer();
    }
    std::lock_guard<std::mutex> guard(queueMutex_);
    queue_.clear();
    return 1;
}
