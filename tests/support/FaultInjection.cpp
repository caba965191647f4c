#include "tests/support/FaultInjection.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "Platform/SysCalls.h"

namespace {
struct State {
    FaultPlan plan;
    SysCallTable real{};
    long calls = 0;
    long injected = 0;
    std::string last;
    bool active = false;
};
State state;

std::string orEmpty(const char* path) { return path != nullptr ? path : ""; }

std::string pathOfFd(int fd) {
    char link[64], target[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    return n < 0 ? std::string() : std::string(target, static_cast<size_t>(n));
}

std::string pathAt(int dirFd, const char* name) {
    if (name == nullptr || dirFd == AT_FDCWD || name[0] == '/') return orEmpty(name);
    return pathOfFd(dirFd) + "/" + name;
}

// Decides whether this call fails: true with errno set (or the process killed). The path is
// only worked out when a plan limited to a part of a path or a message needs it.
template <typename Path>
bool inject(SysKind kind, const char* call, Path path) {
    const FaultPlan& plan = state.plan;
    if (plan.kind != SysKind::Any && plan.kind != kind) return false;
    const std::string where = plan.pathPart.empty() ? std::string() : path();
    if (where.find(plan.pathPart) == std::string::npos) return false;
    const long n = ++state.calls;
    if (plan.at == 0 || n < plan.at || (n > plan.at && !plan.persistent)) return false;
    if (plan.kill) ::kill(::getpid(), SIGKILL);
    ++state.injected;
    state.last = std::string(call) + " " + (plan.pathPart.empty() ? path() : where);
    errno = plan.error;
    return true;
}

bool writes(int flags) { return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0; }

// The stand-in for the table's entry fn: when the call counts (applies) and the plan says so it
// fails, otherwise the real call is made. path names what the call acts on.
#define STAND_IN(type, fn, applies, kind, path, params, args)                                  \
    type in_##fn params {                                                                      \
        const bool fails = (applies) && inject(kind, #fn, [&] { return std::string(path); }); \
        return fails ? -1 : state.real.fn args;                                                \
    }
using K = SysKind;
STAND_IN(int, open, writes(f), K::Open, orEmpty(p), (const char* p, int f, mode_t m), (p, f, m))
STAND_IN(int, openat, writes(f), K::Open, pathAt(d, p), (int d, const char* p, int f, mode_t m), (d, p, f, m))
STAND_IN(ssize_t, write, true, K::Write, pathOfFd(fd), (int fd, const void* b, size_t n), (fd, b, n))
STAND_IN(ssize_t, writev, true, K::Write, pathOfFd(fd), (int fd, const iovec* v, int n), (fd, v, n))
STAND_IN(ssize_t, pwrite, true, K::Write, pathOfFd(fd), (int fd, const void* b, size_t n, off_t o), (fd, b, n, o))
STAND_IN(int, ftruncate, true, K::Truncate, pathOfFd(fd), (int fd, off_t n), (fd, n))
STAND_IN(int, fsync, true, K::Sync, pathOfFd(fd), (int fd), (fd))
STAND_IN(int, fdatasync, true, K::Sync, pathOfFd(fd), (int fd), (fd))
STAND_IN(int, rename, true, K::Rename, orEmpty(a) + " -> " + orEmpty(b), (const char* a, const char* b), (a, b))
STAND_IN(int, renameat, true, K::Rename, pathAt(da, a) + " -> " + pathAt(db, b),
         (int da, const char* a, int db, const char* b), (da, a, db, b))
STAND_IN(int, renameat2, true, K::Rename, pathAt(da, a) + " -> " + pathAt(db, b),
         (int da, const char* a, int db, const char* b, unsigned fl), (da, a, db, b, fl))
STAND_IN(int, link, true, K::Link, orEmpty(a) + " -> " + orEmpty(b), (const char* a, const char* b), (a, b))
STAND_IN(int, symlinkat, true, K::Link, pathAt(d, p), (const char* t, int d, const char* p), (t, d, p))
STAND_IN(int, unlink, true, K::Unlink, orEmpty(p), (const char* p), (p))
STAND_IN(int, unlinkat, true, fl & AT_REMOVEDIR ? K::Rmdir : K::Unlink, pathAt(d, p), (int d, const char* p, int fl),
         (d, p, fl))
STAND_IN(int, mkdir, true, K::Mkdir, orEmpty(p), (const char* p, mode_t m), (p, m))
STAND_IN(int, mkdirat, true, K::Mkdir, pathAt(d, p), (int d, const char* p, mode_t m), (d, p, m))
STAND_IN(int, rmdir, true, K::Rmdir, orEmpty(p), (const char* p), (p))
STAND_IN(ssize_t, copyFileRange, true, K::Write, pathOfFd(out),
         (int in, off_t* io, int out, off_t* oo, size_t n, unsigned fl), (in, io, out, oo, n, fl))
#undef STAND_IN

constexpr SysCallTable kInjecting{in_open,   in_openat,    in_write,  in_writev, in_pwrite,   in_ftruncate, in_fsync,
                                  in_fdatasync, in_rename, in_renameat, in_renameat2, in_link, in_symlinkat, in_unlink,
                                  in_unlinkat, in_mkdir,   in_mkdirat, in_rmdir,  in_copyFileRange};
}  // namespace

FaultInjection::FaultInjection(const FaultPlan& plan) {
    if (state.active) throw std::logic_error("one fault injection at a time");
    state = State{plan, {}, 0, 0, {}, true};
    state.real = sys::setSysCallsForTesting(kInjecting);
}

FaultInjection::~FaultInjection() {
    sys::setSysCallsForTesting(state.real);
    state.active = false;
}

long FaultInjection::calls() const { return state.calls; }
long FaultInjection::injected() const { return state.injected; }
std::string FaultInjection::lastInjected() const { return state.last; }

int runInChildWithFaults(const FaultPlan& plan, const std::function<int()>& body) {
    fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) throw std::runtime_error(std::string("fork: ") + strerror(errno));
    if (child == 0) {
        int result;
        {
            FaultInjection faults(plan);
            result = body();
        }
        fflush(nullptr);  // what the body printed (a failed expectation) is not lost
        _exit(result);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

int runCommand(const std::string& command, std::string* output) {
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[512];
    std::string text;
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) text += buffer;
    if (output != nullptr) *output = text;
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

long countSysCalls(const std::function<void()>& body, SysKind kind, const std::string& pathPart) {
    FaultInjection counting(FaultPlan{kind, 0, EIO, false, false, pathPart});
    body();
    return counting.calls();
}

const char* errnoName(int error) {
    const char* name = strerrorname_np(error);
    return name != nullptr ? name : "errno";
}
