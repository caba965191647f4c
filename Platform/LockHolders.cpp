#include "Platform/LockHolders.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {
// A positive decimal number and nothing else.
bool decimalName(const char* name, long& value) {
    if (*name < '1' || *name > '9') return false;
    char* end = nullptr;
    value = std::strtol(name, &end, 10);
    return *end == '\0';
}

// The whole of a small /proc file; false when it cannot be opened or read.
bool readProcFile(const std::string& path, std::string& text) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    text.clear();
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            ::close(fd);
            return got == 0;
        }
        text.append(buffer, static_cast<size_t>(got));
    }
}

// One "lock:" line of an fdinfo file: whether it is an OFD lock on the file that covers offset,
// and whether it is a write lock.
bool lockLineCovers(const std::string& line, const LockProbe& file, int64_t offset, bool& exclusive) {
    std::istringstream in(line);
    std::string tag, index, kind, mode, access, pid, identity, start, end;
    if (!(in >> tag >> index >> kind >> mode >> access >> pid >> identity >> start >> end)) return false;
    if (kind != "OFDLCK") return false;
    unsigned major = 0, minor = 0;
    unsigned long long inode = 0;
    if (std::sscanf(identity.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3) return false;
    if (makedev(major, minor) != file.device || inode != file.inode) return false;
    const long long first = std::strtoll(start.c_str(), nullptr, 10);
    const bool toEnd = end == "EOF";
    const long long last = toEnd ? 0 : std::strtoll(end.c_str(), nullptr, 10);
    if (offset < first || (!toEnd && offset > last)) return false;
    exclusive = access == "WRITE";
    return true;
}
}  // namespace

int probeByteLock(const char* path, int64_t offset, LockProbe& out) {
    out = LockProbe{};
    const int fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno;
    struct stat st {};
    int error = 0;
    if (::fstat(fd, &st) != 0) {
        error = errno;
    } else if (!S_ISREG(st.st_mode)) {
        error = EINVAL;
    } else {
        out.device = st.st_dev;
        out.inode = st.st_ino;
        struct flock probe {};
        probe.l_type = F_WRLCK;  // conflicts with every lock: reports a shared one as F_RDLCK
        probe.l_whence = SEEK_SET;
        probe.l_start = offset;
        probe.l_len = 1;
        if (::fcntl(fd, F_OFD_GETLK, &probe) != 0)
            error = errno;
        else
            out.held = probe.l_type == F_UNLCK ? LockHeld::None
                       : probe.l_type == F_RDLCK ? LockHeld::Shared
                                                 : LockHeld::Exclusive;
    }
    ::close(fd);
    return error;
}

std::string processCommandLine(long pid) {
    std::string text;
    if (!readProcFile("/proc/" + std::to_string(pid) + "/cmdline", text)) return std::string();
    while (!text.empty() && text.back() == '\0') text.pop_back();
    std::replace(text.begin(), text.end(), '\0', ' ');
    return text;
}

int findLockHolders(const LockProbe& file, int64_t offset, LockHolderScan& out) {
    out = LockHolderScan{};
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return errno;
    for (dirent* entry = ::readdir(proc); entry != nullptr; entry = ::readdir(proc)) {
        long pid = 0;
        if (!decimalName(entry->d_name, pid)) continue;
        const std::string fdinfo = std::string("/proc/") + entry->d_name + "/fdinfo";
        DIR* fds = ::opendir(fdinfo.c_str());
        if (fds == nullptr) {
            if (errno != ENOENT) ++out.unreadableProcesses;  // ENOENT: it ended meanwhile
            continue;
        }
        std::string text;
        for (dirent* fdEntry = ::readdir(fds); fdEntry != nullptr; fdEntry = ::readdir(fds)) {
            long fd = 0;
            if (!decimalName(fdEntry->d_name, fd) && std::strcmp(fdEntry->d_name, "0") != 0) continue;
            if (!readProcFile(fdinfo + "/" + fdEntry->d_name, text)) continue;
            for (size_t at = text.find("lock:"); at != std::string::npos; at = text.find("lock:", at + 1)) {
                const size_t eol = text.find('\n', at);
                bool exclusive = false;
                if (!lockLineCovers(text.substr(at, eol - at), file, offset, exclusive)) continue;
                out.holders.push_back({pid, static_cast<int>(fd), exclusive, processCommandLine(pid)});
                break;
            }
        }
        ::closedir(fds);
    }
    ::closedir(proc);
    std::sort(out.holders.begin(), out.holders.end(),
              [](const LockHolder& a, const LockHolder& b) { return a.pid != b.pid ? a.pid < b.pid : a.fd < b.fd; });
    return 0;
}
