#include "Indexing/idxport/CXChildProcess.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

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
    if (spawned_ != 0 && process_.reaped == 0) {
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

    Pipes pipes;
    if (connected) {
        if (int error = makePipe(pipes.in); error != 0) return failWith("CreatePipe (1) failed", error);
        if (int error = makePipe(pipes.out); error != 0) return failWith("CreatePipe (2) failed", error);
        if (ownError) {
            if (int error = makePipe(pipes.errorIn); error != 0) return failWith("CreatePipe (3) failed", error);
            if (int error = makePipe(pipes.error); error != 0) return failWith("CreatePipe (4) failed", error);
        }
    }

    std::vector<char*> args{const_cast<char*>(path)};
    if (argv != nullptr && argv[0] != nullptr)
        for (size_t i = 1; argv[i] != nullptr; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);

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
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (connected) {
        // Our descriptors are all close-on-exec; the copies on 0, 1 and 2 are not.
        posix_spawn_file_actions_adddup2(&actions, pipes.in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, pipes.out[1], STDOUT_FILENO);
        if (redirectError)
            posix_spawn_file_actions_adddup2(&actions, ownError ? pipes.error[1] : pipes.out[1], STDERR_FILENO);
    } else {
        // A session of its own, no terminal, nothing inherited beyond /dev/null.
        flags |= POSIX_SPAWN_SETSID;
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    }
    posix_spawnattr_setflags(&attributes, flags);
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
    if (!connected) return 0;

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
        closeInput();  // a child that reads its input to the end could not end otherwise
        int status = 0;
        pid_t rc;
        do {
            rc = waitpid(static_cast<pid_t>(process_.pid), &status, 0);
        } while (rc < 0 && errno == EINTR);
        if (rc < 0) return failWith("GetExitCodeProcess failed", errno);
        process_.reaped = 1;
        process_.status = status;
    }
    const int status = process_.status;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return 0;
    return failWith("Child exited with error", WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}
