#include "Platform/VolumeFacts.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <vector>

#include "Platform/TempNames.h"

namespace {
bool isDot(const char* name) { return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')); }

// Adds what the directory open as fd holds; takes over fd. 0 or the errno value.
int addTree(int fd, const std::string& path, TreeUsage& out, std::string* failedPath) {
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        const int error = errno;
        ::close(fd);
        if (failedPath != nullptr) *failedPath = path;
        return error;
    }
    int result = 0;
    for (;;) {
        errno = 0;
        dirent* entry = ::readdir(dir);
        if (entry == nullptr) {
            if (errno != 0) {
                result = errno;
                if (failedPath != nullptr) *failedPath = path;
            }
            break;
        }
        if (isDot(entry->d_name)) continue;
        struct stat st {};
        if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) continue;  // removed meanwhile
            result = errno;
            if (failedPath != nullptr) *failedPath = path + "/" + entry->d_name;
            break;
        }
        out.bytes += static_cast<uint64_t>(st.st_blocks) * 512u;
        if (!S_ISDIR(st.st_mode)) {
            ++out.files;
            continue;
        }
        const int child = ::openat(::dirfd(dir), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child < 0) {
            if (errno == ENOENT) continue;
            result = errno;
            if (failedPath != nullptr) *failedPath = path + "/" + entry->d_name;
            break;
        }
        result = addTree(child, path + "/" + entry->d_name, out, failedPath);
        if (result != 0) break;
    }
    ::closedir(dir);
    return result;
}

// mountinfo escapes blanks and a few other characters as \ooo.
std::string unescapeMountField(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size()) {
            unsigned value = 0;
            if (std::sscanf(text.c_str() + i + 1, "%3o", &value) == 1) {
                out.push_back(static_cast<char>(value));
                i += 3;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

bool underMount(const std::string& path, const std::string& mountPoint) {
    if (mountPoint == "/") return true;
    return path.compare(0, mountPoint.size(), mountPoint) == 0 &&
           (path.size() == mountPoint.size() || path[mountPoint.size()] == '/');
}
}  // namespace

int treeUsage(const char* path, TreeUsage& out, std::string* failedPath) {
    out = TreeUsage{};
    const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (failedPath != nullptr) *failedPath = path;
        return errno;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0) out.bytes += static_cast<uint64_t>(st.st_blocks) * 512u;
    return addTree(fd, path, out, failedPath);
}

int volumeSpace(const char* path, VolumeSpace& out) {
    struct statvfs vfs {};
    if (::statvfs(path, &vfs) != 0) return errno;
    out.availableBytes = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    out.totalBytes = static_cast<uint64_t>(vfs.f_blocks) * vfs.f_frsize;
    return 0;
}

int mountOf(const char* path, MountInfo& out) {
    char resolved[PATH_MAX];
    if (::realpath(path, resolved) == nullptr) return errno;
    FILE* file = std::fopen("/proc/self/mountinfo", "re");
    if (file == nullptr) return errno;
    const std::string target = resolved;
    size_t best = 0;
    bool found = false;
    char* line = nullptr;
    size_t capacity = 0;
    while (::getline(&line, &capacity, file) > 0) {
        // id parent major:minor root mountpoint options [optional fields] - fstype source superoptions
        std::istringstream in(line);
        std::string id, parent, device, root, mountPoint, options, field;
        if (!(in >> id >> parent >> device >> root >> mountPoint >> options)) continue;
        while (in >> field && field != "-") {
        }
        std::string fsType, source, superOptions;
        if (!(in >> fsType >> source >> superOptions)) continue;
        mountPoint = unescapeMountField(mountPoint);
        if (!underMount(target, mountPoint) || (found && mountPoint.size() < best)) continue;
        best = mountPoint.size();
        found = true;
        out.fsType = fsType;
        out.mountPoint = mountPoint;
        out.options = options + "," + superOptions;
    }
    std::free(line);
    std::fclose(file);
    return found ? 0 : ENOENT;
}

int pathAccess(const char* path, PathAccess& out) {
    out = PathAccess{};
    struct stat st {};
    if (::lstat(path, &st) != 0) return errno == ENOENT ? 0 : errno;
    out.exists = true;
    out.isDirectory = S_ISDIR(st.st_mode);
    out.mode = st.st_mode & 07777;
    out.uid = st.st_uid;
    out.gid = st.st_gid;
    out.writable = ::access(path, W_OK | X_OK) == 0;
    std::vector<char> buffer(16384);
    group grp{};
    group* found = nullptr;
    if (::getgrgid_r(st.st_gid, &grp, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
        out.group = found->gr_name;
    else
        out.group = std::to_string(st.st_gid);
    return 0;
}

int probeLocksAndRenames(const char* directory, bool& ofdLocksWork, bool& noReplaceRenameWorks, std::string& detail) {
    ofdLocksWork = noReplaceRenameWorks = false;
    const std::string base = std::string(directory) + "/.vornica-probe";
    const std::string first = TempNames::make(base, "lock");
    const std::string second = TempNames::make(base, "rename");
    const int fd = ::open(first.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return errno;
    int result = 0;
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = int64_t(100) << 32;
    lock.l_len = 1;
    if (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        detail = std::string("F_OFD_SETLK: ") + std::strerror(errno);
    } else {
        const int other = ::open(first.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        if (other < 0) {
            detail = std::string("second open: ") + std::strerror(errno);
        } else {
            struct flock again = lock;
            ofdLocksWork = ::fcntl(other, F_OFD_SETLK, &again) != 0 && (errno == EAGAIN || errno == EACCES);
            if (!ofdLocksWork) detail = "a second open file was granted the same exclusive lock";
            ::close(other);
        }
    }
    const int made = ::open(second.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (made < 0) {
        result = errno;
    } else {
        ::close(made);
        if (::renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_NOREPLACE) == 0) {
            detail += (detail.empty() ? "" : "; ") + std::string("a no-replace rename replaced an existing file");
            ::unlink(second.c_str());  // first is gone: it became second
        } else {
            noReplaceRenameWorks = errno == EEXIST;
            if (!noReplaceRenameWorks)
                detail += (detail.empty() ? "" : "; ") + std::string("renameat2(RENAME_NOREPLACE): ") + std::strerror(errno);
            ::unlink(second.c_str());
            ::unlink(first.c_str());
        }
    }
    ::close(fd);
    if (made < 0) ::unlink(first.c_str());
    return result;
}

bool stderrIsTerminal() { return ::isatty(2) == 1; }
