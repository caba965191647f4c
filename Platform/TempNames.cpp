#include "Platform/TempNames.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <random>

#include "Platform/PlatformEnv.h"

namespace TempNames {
namespace {

std::string sanitizedHost(const std::string& host) {
    std::string out;
    for (char c : host) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                          c == '_';
        out += keep ? c : '_';
    }
    return out.empty() ? std::string("localhost") : out;
}

unsigned randomPart() {
    // One engine per thread, seeded from the system's entropy: names made in the same
    // microsecond by two processes (or two hosts with the same pid) still differ.
    thread_local std::mt19937 engine{std::random_device{}()};
    return static_cast<unsigned>(engine());
}

bool allDigits(std::string_view s) {
    if (s.empty() || s.size() > 10) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

bool allHex(std::string_view s) {
    if (s.size() != 8) return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

bool processRuns(long pid) { return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM); }

// The newest modification time of the entry at path, not followed, and for a directory of the
// entries directly in it: a writer's work directory changes in its files. false when any of
// them cannot be examined.
bool newestChange(const std::string& path, int64_t& newest) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return false;
    newest = static_cast<int64_t>(st.st_mtime);
    if (!S_ISDIR(st.st_mode)) return true;
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (dir == nullptr) {
        if (fd >= 0) ::close(fd);
        return false;
    }
    bool examined = true;
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat inner {};
        if (::fstatat(::dirfd(dir), name.c_str(), &inner, AT_SYMLINK_NOFOLLOW) != 0) {
            examined = examined && errno == ENOENT;  // removed meanwhile: nothing to judge
            continue;
        }
        newest = std::max(newest, static_cast<int64_t>(inner.st_mtime));
    }
    ::closedir(dir);
    return examined;
}

}  // namespace

bool isLeftover(const Parsed& p, const std::string& path) {
    if (madeOnThisHost(p)) return !processRuns(p.pid);
    int64_t newest = 0;
    return newestChange(path, newest) && static_cast<int64_t>(::time(nullptr)) - newest > kOtherHostLeftoverSeconds;
}

const std::string& hostPart() {
    // Read once: a host's name does not change under a running process that shares files.
    static const std::string host = sanitizedHost(PlatformEnv::machineName());
    return host;
}

std::string make(std::string_view base, std::string_view tag) {
    char tail[64];
    snprintf(tail, sizeof tail, ".%ld.%08x", PlatformEnv::processId(), randomPart());
    std::string name(base);
    name += '.';
    name += tag;
    name += '.';
    name += hostPart();
    name += tail;
    return name;
}

bool parse(std::string_view name, std::string_view baseName, std::string_view tag, Parsed& out) {
    const size_t prefixLength = baseName.size() + 1 + tag.size() + 1;
    if (name.size() <= prefixLength || name.substr(0, baseName.size()) != baseName) return false;
    if (name[baseName.size()] != '.' || name.substr(baseName.size() + 1, tag.size()) != tag ||
        name[prefixLength - 1] != '.')
        return false;
    std::string_view rest = name.substr(prefixLength);
    const size_t lastDot = rest.rfind('.');
    if (lastDot == std::string_view::npos || !allHex(rest.substr(lastDot + 1))) return false;
    rest = rest.substr(0, lastDot);
    const size_t pidDot = rest.rfind('.');
    if (pidDot == std::string_view::npos || pidDot == 0 || !allDigits(rest.substr(pidDot + 1))) return false;
    const std::string_view host = rest.substr(0, pidDot);
    if (host.find('.') != std::string_view::npos) return false;
    out.host = std::string(host);
    out.pid = std::stol(std::string(rest.substr(pidDot + 1)));
    return true;
}

}  // namespace TempNames
