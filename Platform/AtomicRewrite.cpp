#include "Platform/AtomicRewrite.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Platform/SysCalls.h"
#include "Platform/TempNames.h"

namespace {
FileOwnership fromStat(const struct stat& st) {
    return FileOwnership{static_cast<unsigned>(st.st_mode & 07777), static_cast<unsigned>(st.st_uid),
                         static_cast<unsigned>(st.st_gid)};
}

int writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = sys::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return EIO;
        done += static_cast<size_t>(n);
    }
    return 0;
}

std::string directoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}
}  // namespace

int readWholeFile(const std::string& path, std::string& text, FileOwnership* ownership) {
    text.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    int error = 0;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = errno;
    } else if (S_ISDIR(st.st_mode)) {
        error = EISDIR;
    } else {
        if (ownership != nullptr) *ownership = fromStat(st);
        char buffer[16384];
        for (;;) {
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                error = errno;
                break;
            }
            if (n == 0) break;
            text.append(buffer, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    if (error != 0) text.clear();
    return error;
}

int ownershipOf(const std::string& path, FileOwnership& ownership) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return errno;
    ownership = fromStat(st);
    return 0;
}

int ownershipOfDescriptor(int fd, FileOwnership& ownership) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return errno;
    ownership = fromStat(st);
    return 0;
}

int giveOwnership(int fd, const FileOwnership& ownership) {
    FileOwnership now;
    if (int error = ownershipOfDescriptor(fd, now); error != 0) return error;
    if ((now.uid != ownership.uid || now.gid != ownership.gid) &&
        ::fchown(fd, static_cast<uid_t>(ownership.uid), static_cast<gid_t>(ownership.gid)) != 0)
        return errno;
    if (::fchmod(fd, static_cast<mode_t>(ownership.mode)) != 0) return errno;
    return 0;
}

int copyOwnership(const std::string& from, const std::string& to) {
    FileOwnership ownership;
    if (int error = ownershipOf(from, ownership); error != 0) return error;
    int fd = ::open(to.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    int error = giveOwnership(fd, ownership);
    ::close(fd);
    return error;
}

namespace {
// Writes content to a new temporary file beside path, lets prepare(fd) give it its ownership,
// syncs it and renames it over path; the temporary file goes again on any failure.
template <typename Prepare>
int replaceFile(const std::string& path, const std::string& content, mode_t createMode, Prepare prepare,
                RewriteStep* failed) {
    RewriteStep step = RewriteStep::Create;
    // A fresh name of this host, process and a random part, created exclusively: nothing that
    // another writer (of this host or another one sharing the directory) made is taken or removed.
    const std::string tempPath = TempNames::make(path, "tmp");
    int fd = sys::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, createMode);
    if (fd < 0) {
        if (failed != nullptr) *failed = step;
        return errno;
    }
    step = RewriteStep::Write;
    int error = prepare(fd);
    if (error == 0) error = writeAll(fd, content);
    if (error == 0) step = RewriteStep::Finish;
    if (error == 0 && sys::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && sys::rename(tempPath.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) {
        sys::unlink(tempPath.c_str());
        if (failed != nullptr) *failed = step;
        return error;
    }
    // The rename itself is made durable by syncing the directory.
    int dirFd = ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        sys::fsync(dirFd);
        ::close(dirFd);
    }
    return 0;
}
}  // namespace

int rewriteFile(const std::string& path, const std::string& content, const FileOwnership* keep, unsigned newFileMode,
                RewriteStep* failed) {
    return replaceFile(
        path, content, keep != nullptr ? 0600 : static_cast<mode_t>(newFileMode),
        [keep](int fd) { return keep != nullptr ? giveOwnership(fd, *keep) : 0; }, failed);
}

int rewriteFileKeepingMode(const std::string& path, const std::string& content, unsigned newFileMode,
                           RewriteStep* failed) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return replaceFile(path, content, static_cast<mode_t>(newFileMode), [](int) { return 0; }, failed);
    const FileOwnership kept = fromStat(st);
    return replaceFile(
        path, content, 0600,
        [&kept](int fd) {
            // Owner and group are handed on where this process may (root, or its own group);
            // the mode always is.
            if (::fchown(fd, static_cast<uid_t>(kept.uid), static_cast<gid_t>(kept.gid)) != 0 &&
                ::fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(kept.gid)) != 0) {
                // the new file stays this process's own
            }
            return ::fchmod(fd, static_cast<mode_t>(kept.mode)) == 0 ? 0 : errno;
        },
        failed);
}

namespace {
// Removes the entries of the directory open as dirFd (one level: the work files of one writer),
// never following a link. The descriptor is consumed.
void removeEntriesOf(int dirFd) {
    DIR* dir = ::fdopendir(dirFd);
    if (dir == nullptr) {
        ::close(dirFd);
        return;
    }
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") sys::unlinkat(::dirfd(dir), name.c_str(), 0);
    }
    ::closedir(dir);
}
}  // namespace

int removeDeadTemporaries(const std::string& path, const std::string& tag) {
    const std::string folder = directoryOf(path);
    const size_t slash = path.rfind('/');
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0) return 0;
    DIR* dir = ::fdopendir(folderFd);
    if (dir == nullptr) {
        ::close(folderFd);
        return 0;
    }
    int removed = 0;
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        TempNames::Parsed made;
        if (!TempNames::parse(name, base, tag, made) || !TempNames::isLeftover(made, folder + "/" + name)) continue;
        if (sys::unlinkat(::dirfd(dir), name.c_str(), 0) == 0) {
            ++removed;
            continue;
        }
        if (errno != EISDIR && errno != EPERM) continue;
        const int sub = ::openat(::dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub < 0) continue;
        removeEntriesOf(sub);
        if (sys::unlinkat(::dirfd(dir), name.c_str(), AT_REMOVEDIR) == 0) ++removed;
    }
    ::closedir(dir);
    return removed;
}
