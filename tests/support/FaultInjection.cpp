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

std::string pathOfFd(int fd) {
    char link[64], target[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    return n < 0 ? std::string() : std::string(target, static_cast<size_t>(n));
}

std::string pathAt(int dirFd, const char* name) {
    if (name == nullptr) return {};
    if (dirFd == AT_FDCWD || name[0] == '/') return name;
    return pathOfFd(dirFd) + "/" + name;
}

// Decides whether this call fails: true with errno set (or the process killed).
template <typename Path>
bool inject(SysKind kind, const char* call, Path path) {
    const FaultPlan& plan = state.plan;
    if (plan.kind != SysKind::Any && plan.kind != kind) return false;
    std::string where;
    if (!plan.pathPart.empty()) {
        where = path();
        if (where.find(plan.pathPart) == std::string::npos) return false;
    }
    const long n = ++state.calls;
    if (plan.at == 0 || n < plan.at || (n > plan.at && !plan.persistent)) return false;
    if (plan.kill) ::kill(::getpid(), SIGKILL);
    ++state.injected;
    state.last = std::string(call) + " " + (plan.pathPart.empty() ? path() : where);
    errno = plan.error;
    return true;
}

bool writes(int flags) { return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0; }

int fOpen(const char* p, int flags, mode_t mode) {
    if (writes(flags) && inject(SysKind::Open, "open", [&] { return std::string(p ? p : ""); })) return -1;
    return state.real.open(p, flags, mode);
}
int fOpenat(int d, const char* p, int flags, mode_t mode) {
    if (writes(flags) && inject(SysKind::Open, "openat", [&] { return pathAt(d, p); })) return -1;
    return state.real.openat(d, p, flags, mode);
}
ssize_t fWrite(int fd, const void* data, size_t size) {
    if (inject(SysKind::Write, "write", [&] { return pathOfFd(fd); })) return -1;
    return state.real.write(fd, data, size);
}
ssize_t fWritev(int fd, const struct iovec* v, int count) {
    if (inject(SysKind::Write, "writev", [&] { return pathOfFd(fd); })) return -1;
    return state.real.writev(fd, v, count);
}
ssize_t fPwrite(int fd, const void* data, size_t size, off_t offset) {
    if (inject(SysKind::Write, "pwrite", [&] { return pathOfFd(fd); })) return -1;
    return state.real.pwrite(fd, data, size, offset);
}
int fFtruncate(int fd, off_t length) {
    if (inject(SysKind::Truncate, "ftruncate", [&] { return pathOfFd(fd); })) return -1;
    return state.real.ftruncate(fd, length);
}
int fFsync(int fd) {
    if (inject(SysKind::Sync, "fsync", [&] { return pathOfFd(fd); })) return -1;
    return state.real.fsync(fd);
}
int fFdatasync(int fd) {
    if (inject(SysKind::Sync, "fdatasync", [&] { return pathOfFd(fd); })) return -1;
    return state.real.fdatasync(fd);
}
int fRename(const char* a, const char* b) {
    if (inject(SysKind::Rename, "rename", [&] { return std::string(a ? a : "") + " -> " + (b ? b : ""); })) return -1;
    return state.real.rename(a, b);
}
int fRenameat(int da, const char* a, int db, const char* b) {
    if (inject(SysKind::Rename, "renameat", [&] { return pathAt(da, a) + " -> " + pathAt(db, b); })) return -1;
    return state.real.renameat(da, a, db, b);
}
int fRenameat2(int da, const char* a, int db, const char* b, unsigned flags) {
    if (inject(SysKind::Rename, "renameat2", [&] { return pathAt(da, a) + " -> " + pathAt(db, b); })) return -1;
    return state.real.renameat2(da, a, db, b, flags);
}
int fLink(const char* a, const char* b) {
    if (inject(SysKind::Link, "link", [&] { return std::string(a ? a : "") + " -> " + (b ? b : ""); })) return -1;
    return state.real.link(a, b);
}
int fSymlinkat(const char* target, int d, const char* p) {
    if (inject(SysKind::Link, "symlinkat", [&] { return pathAt(d, p); })) return -1;
    return state.real.symlinkat(target, d, p);
}
int fUnlink(const char* p) {
    if (inject(SysKind::Unlink, "unlink", [&] { return std::string(p ? p : ""); })) return -1;
    return state.real.unlink(p);
}
int fUnlinkat(int d, const char* p, int flags) {
    const SysKind kind = (flags & AT_REMOVEDIR) != 0 ? SysKind::Rmdir : SysKind::Unlink;
    if (inject(kind, "unlinkat", [&] { return pathAt(d, p); })) return -1;
    return state.real.unlinkat(d, p, flags);
}
int fMkdir(const char* p, mode_t mode) {
    if (inject(SysKind::Mkdir, "mkdir", [&] { return std::string(p ? p : ""); })) return -1;
    return state.real.mkdir(p, mode);
}
int fMkdirat(int d, const char* p, mode_t mode) {
    if (inject(SysKind::Mkdir, "mkdirat", [&] { return pathAt(d, p); })) return -1;
    return state.real.mkdirat(d, p, mode);
}
int fRmdir(const char* p) {
    if (inject(SysKind::Rmdir, "rmdir", [&] { return std::string(p ? p : ""); })) return -1;
    return state.real.rmdir(p);
}
ssize_t fCopyFileRange(int in, off_t* io, int out, off_t* oo, size_t size, unsigned flags) {
    if (inject(SysKind::Write, "copy_file_range", [&] { return pathOfFd(out); })) return -1;
    return state.real.copyFileRange(in, io, out, oo, size, flags);
}

constexpr SysCallTable kInjecting{fOpen,   fOpenat,    fWrite,  fWritev,   fPwrite,    fFtruncate, fFsync,
                                  fFdatasync, fRename, fRenameat, fRenameat2, fLink,  fSymlinkat, fUnlink,
                                  fUnlinkat, fMkdir,   fMkdirat,  fRmdir,     fCopyFileRange};
}  // namespace

FaultInjection::FaultInjection(const FaultPlan& plan) {
    if (state.active) throw std::logic_error("one fault injection at a time");
    state.plan = plan;
    state.calls = state.injected = 0;
    state.last.clear();
    state.active = true;
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
    FaultPlan plan;
    plan.kind = kind;
    plan.pathPart = pathPart;
    FaultInjection counting(plan);
    body();
    return counting.calls();
}

const char* errnoName(int error) {
    switch (error) {
        case ENOSPC: return "ENOSPC";
        case EIO: return "EIO";
        case EDQUOT: return "EDQUOT";
        case EACCES: return "EACCES";
        case EMFILE: return "EMFILE";
        case EINVAL: return "EINVAL";
        default: return "errno";
    }
}
