#include "Indexing/idxport/CXChildProcess.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

extern char** environ;

namespace {
// Pipe ends not handed on yet; whatever is left is closed on the way out.
struct Pipes {
    int in[2] = {-1, -1};       // 1: the child's standard input
    int out[2] = {-1, -1};      // 2: its standard output
    int errorIn[2] = {-1, -1};  // 3: the error file's write side (nobody reads it)
    int error[2] = {-1, -1};    // 4: its standard error

    ~Pipes() {
        for (int* ends : {in, out, errorIn, error}) {
            release(ends[0]);
            release(ends[1]);
        }
    }
    static void release(int& fd) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

// A pipe, close-on-exec, with both ends above the standard descriptors: when this process runs
// with a standard stream closed, an end on 0, 1 or 2 would be overwritten by the child's
// redirections before it is copied. 0 or the error number.
int makePipe(int fds[2]) {
    if (pipe2(fds, O_CLOEXEC) != 0) return errno;
    for (int i = 0; i < 2; ++i) {
        if (fds[i] > STDERR_FILENO) continue;
        int moved = fcntl(fds[i], F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        int error = errno;
        ::close(fds[i]);
        fds[i] = moved;
        if (moved < 0) {
            Pipes::release(fds[0]);
            Pipes::release(fds[1]);
            return error;
        }
    }
    return 0;
}

// A disconnected child is started through two short-lived forks, so that it never becomes a
// child of the caller: the caller forks an intermediate that forks a watcher and exits at once
// (the caller reaps it); the watcher, left to init, forks the program, waits for its end and
// sends the wait status back on a pipe. Nothing waits in the caller as a zombie, whatever the
// caller does with the object, and no SIGCHLD handler is needed (the host owns its signals).
// Between fork and exec only async-signal-safe calls are made: the caller may run threads.
struct StartRecord {
    int32_t kind;
    int32_t value;
};
enum : int32_t { kRecordPid = 1, kRecordError = 2, kRecordStatus = 3 };

void sendRecord(int fd, int32_t kind, int32_t value) {
    const StartRecord record{kind, value};
    while (write(fd, &record, sizeof record) < 0 && errno == EINTR) {
    }
}

// One record from the pipe; false at its end (every writer gone) or on an error.
bool receiveRecord(int fd, StartRecord* record) {
    ssize_t n;
    do {
        n = read(fd, record, sizeof *record);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof *record);
}

// In a forked child: fd moved to `target` (close-on-exec), /dev/null on the standard streams,
// every other descriptor closed. false when /dev/null cannot be opened.
bool keepOnly(int fd, int target) {
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    int input = open("/dev/null", O_RDONLY);
    int output = open("/dev/null", O_WRONLY);
    if (moved < 0 || input < 0 || output < 0) return false;
    if (dup2(input, STDIN_FILENO) < 0 || dup2(output, STDOUT_FILENO) < 0 || dup2(output, STDERR_FILENO) < 0)
        return false;
    if (moved != target && dup3(moved, target, O_CLOEXEC) < 0) return false;
    close_range(static_cast<unsigned>(target) + 1, ~0U, 0);
    return true;
}

[[noreturn]] void runProgram(const char* path, char* const args[], int failurePipe) {
    setsid();
    for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (keepOnly(failurePipe, STDERR_FILENO + 1)) {
        execvpe(path, args, environ);
        failurePipe = STDERR_FILENO + 1;
    }
    sendRecord(failurePipe, kRecordError, errno);
    _exit(127);
}

// The watcher: starts the program, reports its pid, waits for it and reports its wait status.
[[noreturn]] void watchProgram(const char* path, char* const args[], int reportPipe, int failurePipe) {
    setsid();  // out of the caller's process group: its job-control signals are not ours
    signal(SIGCHLD, SIG_DFL);  // an ignored SIGCHLD would reap the program before we could
    signal(SIGPIPE, SIG_IGN);  // the caller may have closed its end: the report is then dropped
    pid_t program = fork();
    if (program == 0) runProgram(path, args, failurePipe);
    if (program < 0) {
        sendRecord(reportPipe, kRecordError, errno);
        _exit(0);
    }
    close(failurePipe);
    sendRecord(reportPipe, kRecordPid, program);
    if (keepOnly(reportPipe, STDERR_FILENO + 1)) reportPipe = STDERR_FILENO + 1;
    int status = 0;
    pid_t done;
    do {
        done = waitpid(program, &status, 0);
    } while (done < 0 && errno == EINTR);
    if (done == program) sendRecord(reportPipe, kRecordStatus, status);
    _exit(0);
}

// Starts the program disconnected. 0 with its pid and the read end of the report pipe (the
// wait status arrives there when it ends), or the error number.
int startDisconnected(const char* path, char* const args[], pid_t* pid, int* reportFd) {
    Pipes pipes;  // out: the watcher's report; error: the program's failure to start
    if (int error = makePipe(pipes.out); error != 0) return error;
    if (int error = makePipe(pipes.error); error != 0) return error;
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);  // no handler of the caller runs in a fork
    pid_t intermediate = fork();
    if (intermediate == 0) {
        pid_t watcher = fork();
        if (watcher == 0) watchProgram(path, args, pipes.out[1], pipes.error[1]);
        if (watcher < 0) sendRecord(pipes.out[1], kRecordError, errno);
        _exit(0);
    }
    int error = errno;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (intermediate < 0) return error;
    Pipes::release(pipes.out[1]);
    Pipes::release(pipes.error[1]);
    while (waitpid(intermediate, nullptr, 0) < 0 && errno == EINTR) {
    }
    StartRecord started{}, failed{};
    if (!receiveRecord(pipes.out[0], &started)) return ECHILD;
    if (started.kind != kRecordPid) return started.value;
    // The program's copy of this pipe closes when it executes; a record says why it could not.
    if (receiveRecord(pipes.error[0], &failed)) return failed.value;
    *pid = started.value;
    *reportFd = pipes.out[0];
    pipes.out[0] = -1;
    return 0;
}

// Path and arguments joined by blanks must fit the command buffer (terminator included).
bool commandLineFits(const char* path, char* const argv[]) {
    size_t length = strlen(path);
    if (length >= CXChildProcess::kCommandSize) {
        TDebuggable log;
        log.debug(1, "length of 'path' is greater than the 'command' size");
        return false;
    }
    if (argv != nullptr && argv[0] != nullptr)
        for (size_t i = 1; argv[i] != nullptr; ++i) length += 1 + strlen(argv[i]);
    if (length >= CXChildProcess::kCommandSize) {
        TDebuggable log;
        log.debug(1, "length of the command line is greater than the 'command' size");
        return false;
    }
    return true;
}
}  // namespace

CXChildProcess::CXChildProcess() { snprintf(failureMessage_, sizeof failureMessage_, "unknown failure"); }

CXChildProcess::~CXChildProcess() {
    close();  // the connection's descriptors are ours: close releases them
    errorFile_.close();
    Pipes::release(process_.reportFd);  // a disconnected child's watcher then stops reporting
    if (spawned_ != 0 && process_.reaped == 0 && !process_.disconnected) {
        int status = 0;
        if (waitpid(static_cast<pid_t>(process_.pid), &status, WNOHANG) > 0) process_.reaped = 1;
    }
}

int CXChildProcess::failWith(const char* message, int error) {
    snprintf(failureMessage_, sizeof failureMessage_, "%s", message);
    return fail(error);
}

int CXChildProcess::spawnDisconnected(const char* path, char* const argv[]) {
    return spawn(path, argv, false, false, false);
}

int CXChildProcess::spawnConnected(const char* path, char* const argv[], bool redirectError, bool separateError) {
    return spawn(path, argv, true, redirectError, separateError);
}

int CXChildProcess::spawn(const char* path, char* const argv[], bool connected, bool redirectError,
                          bool separateError) {
    if (spawned_ != 0 || path == nullptr) return fail(kErrWrongState);
    if (!commandLineFits(path, argv)) return fail(kErrWrongState);
    const bool ownError = connected && redirectError && separateError;

    std::vector<char*> args{const_cast<char*>(path)};
    if (argv != nullptr && argv[0] != nullptr)
        for (size_t i = 1; argv[i] != nullptr; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);

    if (!connected) {
        pid_t pid = 0;
        int reportFd = -1;
        if (int error = startDisconnected(path, args.data(), &pid, &reportFd); error != 0)
            return failWith("CreateProcess failed", error);
        spawned_ = 1;
        process_ = ProcessInformation{};
        process_.pid = pid;
        process_.disconnected = true;
        process_.reportFd = reportFd;
        return 0;
    }

    Pipes pipes;
    if (int error = makePipe(pipes.in); error != 0) return failWith("CreatePipe (1) failed", error);
    if (int error = makePipe(pipes.out); error != 0) return failWith("CreatePipe (2) failed", error);
    if (ownError) {
        if (int error = makePipe(pipes.errorIn); error != 0) return failWith("CreatePipe (3) failed", error);
        if (int error = makePipe(pipes.error); error != 0) return failWith("CreatePipe (4) failed", error);
    }

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    // The child starts with no blocked signals and every signal at its default, whatever this
    // process ignores (an ignored SIGPIPE would otherwise be inherited through exec).
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    // Our descriptors are all close-on-exec; the copies on 0, 1 and 2 are not.
    posix_spawn_file_actions_adddup2(&actions, pipes.in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipes.out[1], STDOUT_FILENO);
    if (redirectError)
        posix_spawn_file_actions_adddup2(&actions, ownError ? pipes.error[1] : pipes.out[1], STDERR_FILENO);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    // glibc reports a program that cannot be executed through the result, not by a child
    // that ends with 127.
    int rc = posix_spawnp(&pid, path, &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) return failWith("CreateProcess failed", rc);

    spawned_ = 1;
    process_ = ProcessInformation{};
    process_.pid = pid;

    // The child's ends belong to the child now.
    Pipes::release(pipes.in[0]);
    Pipes::release(pipes.out[1]);
    Pipes::release(pipes.errorIn[0]);
    Pipes::release(pipes.error[1]);
    int result = setHandles(pipes.out[0], pipes.in[1], sfReadWrite);
    if (result == 0) {
        process_.inputFd = pipes.in[1];
        pipes.out[0] = pipes.in[1] = -1;
    }
    if (ownError) {
        if (errorFile_.setHandles(pipes.error[0], pipes.errorIn[1], sfReadWrite) == 0)
            pipes.error[0] = pipes.errorIn[1] = -1;
        else
            result = fail(errorFile_.getLastError());
    }
    return result;
}

int CXChildProcess::closeInput() {
    if (!isOpen()) process_.inputFd = -1;  // the connection is closed: its descriptors are gone
    if (process_.inputFd < 0) return 0;
    bufWriteFlush();
    // The descriptor number stays the connection's write side (the connection closes it), but
    // now names /dev/null opened for reading: the pipe's last writer is gone and writes fail.
    int nullFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (nullFd < 0) return fail(errno);
    int rc = dup3(nullFd, process_.inputFd, O_CLOEXEC);
    int error = errno;
    ::close(nullFd);
    if (rc < 0) return fail(error);
    process_.inputFd = -1;
    return 0;
}

int CXChildProcess::wait() {
    if (spawned_ == 0) return fail(kErrWrongState);
    if (process_.reaped == 0) {
        int status = 0;
        if (process_.disconnected) {
            StartRecord ended{};
            const bool reported = receiveRecord(process_.reportFd, &ended) && ended.kind == kRecordStatus;
            Pipes::release(process_.reportFd);
            if (!reported) return failWith("GetExitCodeProcess failed", ECHILD);  // its watcher was killed
            status = ended.value;
        } else {
            closeInput();  // a child that reads its input to the end could not end otherwise
            pid_t rc;
            do {
                rc = waitpid(static_cast<pid_t>(process_.pid), &status, 0);
            } while (rc < 0 && errno == EINTR);
            if (rc < 0) return failWith("GetExitCodeProcess failed", errno);
        }
        process_.reaped = 1;
        process_.status = status;
    }
    const int status = process_.status;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return 0;
    return failWith("Child exited with error", WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}
