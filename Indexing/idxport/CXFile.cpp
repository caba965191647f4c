#include "Indexing/idxport/CXFile.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <new>

#include "Indexing/idxport/FsMountCheck.h"
#include "Platform/PlatformSleep.h"
#include "Platform/QuietPipeWrite.h"
#include "Platform/SysCalls.h"

namespace {
int openFlags(sfOpenMode_t mode) {
    switch (mode) {
        case sfReadOnly: return O_RDONLY;
        case sfWriteOnly: return O_WRONLY;
        case sfReadWrite: return O_RDWR;
        case sfOpenOrCreate: return O_RDWR | O_CREAT;
        case sfCreateNew: return O_RDWR | O_CREAT | O_EXCL;
    }
    return -1;
}

const char kEmptyView[1] = {0};

CXFile::ReadCall readCall = nullptr;

// A lock held briefly is followed within a few milliseconds; one held longer than kBriefMs
// belongs to a running job, and a wait that polls tries it five times a second.
constexpr LockPacing kFilePacing{256, 200};
}  // namespace

CXFile::CXFile() = default;

// Each buffer comes with its first use, at the size set then: directory objects carry several
// files that most of them never open (a cleanup holds thousands at once), a file read whole or
// in raw reads needs neither, and a file only written needs no read buffer. A buffer is only
// (re)made while it is empty: setBufSize refuses a change while either holds bytes.
bool CXFile::ensureBuffer(char*& buffer, uint32_t& allocated) {
    if (buffer != nullptr && allocated == bufSize_) return true;
    char* fresh = new (std::nothrow) char[bufSize_];
    if (fresh == nullptr) return false;
    delete[] buffer;
    buffer = fresh;
    allocated = bufSize_;
    return true;
}

CXFile::~CXFile() {
    if (openFlag_ != 0) {
        bufWriteFlush();
        if (lockedFlag_ != 0) unlock();
        if (externalFlag_ == 0)
            close();
        else
            releaseView();
    }
    delete[] readBuffer_;
    delete[] writeBuffer_;
}

int CXFile::open(const char* name, sfOpenMode_t mode, unsigned retries, int permissions, unsigned flags) {
    if (openFlag_ != 0 || name == nullptr) return fail(kErrWrongState);
    name_ = name;
    int osFlags = openFlags(mode);
    if (osFlags < 0) return fail(kErrWrongState);
    const bool regularOnly = (flags & sfRegularFileOnly) != 0;
    // A name the library may create is never a link's: a link planted there (in a directory
    // others may write) would have this process create or write the link's target instead.
    if (mode == sfOpenOrCreate) osFlags |= O_NOFOLLOW;
    // Without O_NONBLOCK the open of a FIFO would wait for a peer before the check below. On
    // the regular file that passes the check the flag stays: reads and writes of a regular file
    // never wait for a peer, and clearing it would cost two calls on every State file a
    // cleanup scan reads.
    if (regularOnly) osFlags |= O_NOFOLLOW | O_NONBLOCK;

    int fd = sys::open(name, osFlags | O_CLOEXEC, permissions != 0 ? permissions : 0666);
    bool regular = false;
    if (fd >= 0) {
        struct stat st {};
        int refusal = 0;
        const bool known = fstat(fd, &st) == 0;
        regular = known && S_ISREG(st.st_mode);
        if (!known)
            refusal = regularOnly ? errno : 0;
        else if (S_ISDIR(st.st_mode))  // a directory is no file to read or write
            refusal = EISDIR;
        else if (regularOnly && !S_ISREG(st.st_mode))
            refusal = kErrNotRegularFile;
        if (refusal != 0) {
            ::close(fd);
            fd = -1;
            errno = refusal;
        }
    }
    dropBuffers();
    if (fd < 0) {
        int error = errno == ENOTDIR ? kErrNotFound : errno;
        if (retries > 0) {
            YUSLEEP(1000);
            return open(name, mode, retries - 1, permissions, flags);
        }
        return fail(error);
    }
    readFd_ = mode == sfWriteOnly ? -1 : fd;
    writeFd_ = mode == sfReadOnly ? -1 : fd;
    fileFd_ = fd;
    writesRegularFile_ = regular;
    openFlag_ = 1;
    mode_ = mode;
    lockedFlag_ = 0;
    externalFlag_ = 0;
    return 0;
}

int CXFile::setHandles(int readFd, int writeFd, sfOpenMode_t mode) {
    if (openFlag_ != 0 && externalFlag_ == 0) return fail(kErrWrongState);
    if (openFlags(mode) < 0) return fail(kErrWrongState);
    readFd_ = readFd;
    writeFd_ = writeFd;
    writesRegularFile_ = false;  // a caller's descriptor may be a pipe
    fileFd_ = mode == sfWriteOnly ? writeFd : readFd;
    mode_ = mode;
    openFlag_ = 1;
    externalFlag_ = 1;
    lockedFlag_ = 0;
    return 0;
}

// Bytes that could not be written belong to the file just closed: they must never reach the
// next file the object opens.
void CXFile::dropBuffers() {
    bufReadFlush();
    writeCount_ = 0;
}

int CXFile::close() {
    if (openFlag_ == 0) return 0;
    int result = bufWriteFlush() == 0 ? 0 : -1;
    dropBuffers();
    if (lockedFlag_ != 0) unlock();
    // A descriptor is released by close even when close reports an error, so the object is
    // closed afterwards in any case; the error is reported.
    int error = 0;
    if (!releaseView()) error = lastError_;
    if (readFd_ >= 0 && ::close(readFd_) != 0) error = errno;
    if (writeFd_ >= 0 && writeFd_ != readFd_ && ::close(writeFd_) != 0) error = errno;
    openFlag_ = 0;
    externalFlag_ = 0;
    readFd_ = writeFd_ = fileFd_ = -1;
    if (error != 0) return fail(error);
    return result;
}

long CXFile::read(char* buffer, unsigned long size) {
    if (openFlag_ == 0 || mode_ == sfWriteOnly || readFd_ < 0 || buffer == nullptr) return fail(kErrWrongState);
    ssize_t n;
    do {
        n = readCall != nullptr ? readCall(readFd_, buffer, size) : ::read(readFd_, buffer, size);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return fail(errno);
    position_ += n;
    return static_cast<long>(n);
}

long CXFile::writeRaw(const char* data, unsigned long size, unsigned long& written) {
    written = 0;
    if (openFlag_ == 0 || mode_ == sfReadOnly || writeFd_ < 0 || (data == nullptr && size > 0))
        return fail(kErrWrongState);
    while (written < size) {
        // Only a pipe or a socket raises SIGPIPE: the write to a regular file spares the three
        // calls that keep it from ending the process.
        ssize_t n = writesRegularFile_ ? sys::write(writeFd_, data + written, size - written)
                                       : writeWithoutSigpipe(writeFd_, data + written, size - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int error = n < 0 ? errno : kErrShortWrite;
            position_ += static_cast<int64_t>(written);
            return fail(written > 0 ? kErrShortWrite : error);
        }
        written += static_cast<unsigned long>(n);
    }
    position_ += static_cast<int64_t>(written);
    return static_cast<long>(size);
}

long CXFile::write(const char* data, unsigned long size) {
    unsigned long written = 0;
    return writeRaw(data, size, written);
}

int CXFile::seek(int64_t offset, sfSeekMode_t origin) {
    if (openFlag_ == 0) return fail(kErrWrongState);
    if (bufWriteFlush() != 0) return -1;
    int whence = origin == sfSeekSet ? SEEK_SET : origin == sfSeekCur ? SEEK_CUR : origin == sfSeekEnd ? SEEK_END : -1;
    if (whence < 0) return fail(kErrWrongState);
    off_t at = lseek(fileFd_, static_cast<off_t>(offset), whence);
    if (at < 0) return fail(errno);
    position_ = at;
    bufReadFlush();
    return 0;
}

int64_t CXFile::getCurOffset() const {
    return writeCount_ > 0 ? position_ + writeCount_ : position_ - static_cast<int64_t>(readCount_);
}

int CXFile::lock(sfLockMode_t mode, unsigned long timeout) {
    return lockForMs(mode, timeout > ULONG_MAX / 1000 ? ULONG_MAX : timeout * 1000);
}

int CXFile::lockForMs(sfLockMode_t mode, unsigned long budgetMs) {
    unsigned long waited = 0;
    return lockWithin(mode, budgetMs, waited, kFilePacing);
}

int CXFile::lockWithin(sfLockMode_t mode, unsigned long budgetMs, unsigned long& waitedMs, const LockPacing& pacing) {
    if (openFlag_ == 0 || lockedFlag_ != 0) return fail(kErrWrongState);
    if (mode != sfLockExclusive && mode != sfLockShared) return fail(kErrWrongState);
    struct flock byte {};
    byte.l_type = mode == sfLockExclusive ? F_WRLCK : F_RDLCK;
    byte.l_whence = SEEK_SET;
    byte.l_start = kLockOffset;
    byte.l_len = 1;
    int error = 0;
    const int got = lockwait::take(fileFd_, byte, budgetMs, waitedMs, pacing, error);
    if (got < 0) return fail(error);
    if (got == 0) {
        lastError_ = kErrLockViolation;
        return 0;
    }
    lockedFlag_ = 1;
    fsWarnOnceIfLocksAreLocal(fileFd_);
    return 1;
}

int CXFile::unlock() {
    if (lockedFlag_ == 0) return fail(kErrWrongState);
    int result = bufWriteFlush();
    struct flock byte {};
    byte.l_type = F_UNLCK;
    byte.l_whence = SEEK_SET;
    byte.l_start = kLockOffset;
    byte.l_len = 1;
    if (fcntl(fileFd_, F_OFD_SETLK, &byte) != 0) return fail(errno);
    lockedFlag_ = 0;
    return result;
}

int CXFile::truncate() {
    // Cutting the file under our own view would make the next read of the view fault, so a
    // mapped object is refused: close it (or drop the view) first.
    if (view_ != nullptr) return fail(kErrWrongState);
    if (seek(0, sfSeekSet) != 0) return -1;
    if (sys::ftruncate(fileFd_, 0) != 0) return fail(errno);
    return 0;
}

int CXFile::truncateTo(int64_t size) {
    if (view_ != nullptr) return fail(kErrWrongState);
    if (size < 0) return fail(EINVAL);
    if (seek(size, sfSeekSet) != 0) return -1;
    if (ftruncate(fileFd_, static_cast<off_t>(size)) != 0) return fail(errno);
    return 0;
}

int CXFile::readWhole(std::string& contents) {
    contents.clear();
    if (seek(0, sfSeekSet) != 0) return -1;
    struct stat st {};
    size_t room = fstat(fileFd_, &st) == 0 && st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1 : 4096;
    for (;;) {
        const size_t used = contents.size();
        try {
            contents.resize(used + room);
        } catch (const std::bad_alloc&) {
            contents.clear();
            return fail(kErrNoMemory);
        }
        long n = read(contents.data() + used, static_cast<unsigned long>(room));
        if (n < 0) {
            contents.clear();
            return -1;
        }
        contents.resize(used + static_cast<size_t>(n));
        if (n == 0) return 0;
        room = std::max<size_t>(4096, contents.size());  // the file grew since fstat
    }
}

int CXFile::replaceContents(const char* data, size_t size) {
    if (openFlag_ == 0 || mode_ == sfReadOnly || writeFd_ < 0 || (data == nullptr && size > 0))
        return fail(kErrWrongState);
    if (view_ != nullptr) return fail(kErrWrongState);
    if (seek(0, sfSeekSet) != 0) return -1;
    size_t written = 0;
    while (written < size) {
        ssize_t n = sys::pwrite(writeFd_, data + written, size - written, static_cast<off_t>(written));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return fail(n < 0 ? errno : kErrShortWrite);
        written += static_cast<size_t>(n);
    }
    if (sys::ftruncate(writeFd_, static_cast<off_t>(size)) != 0) return fail(errno);
    if (sys::fsync(writeFd_) != 0) return fail(errno);
    return 0;
}

void CXFile::startWriteback() {
#ifdef __linux__
    if (fileFd_ >= 0) (void)sync_file_range(fileFd_, 0, 0, SYNC_FILE_RANGE_WRITE);  // buffered bytes wait
#endif
}

int64_t CXFile::appendFrom(CXFile& source) {
    if (openFlag_ == 0 || writeFd_ < 0 || source.openFlag_ == 0 || source.readFd_ < 0) return fail(kErrWrongState);
    // Pending bytes on either side belong before the copy; the descriptors then sit where the
    // objects' positions say.
    if (bufWriteFlush() != 0) return -1;
    if (source.readCount_ > 0 && source.seek(source.getCurOffset(), sfSeekSet) != 0) return fail(source.lastError_);
    auto failBoth = [&](int error) {
        source.lastError_ = error;
        return fail(error);
    };
    int64_t copied = 0;
    // A file system that cannot copy in the kernel says so at the first call, before any byte
    // moved; reads and writes take over from wherever the copy stopped. While a test stands in
    // for reads (setReadCallForTests) the copy reads too, so that the test sees every read.
    while (readCall == nullptr) {
        const ssize_t n = sys::copyFileRange(source.readFd_, nullptr, writeFd_, nullptr, size_t(1) << 30, 0);
        if (n > 0) {
            copied += n;
            position_ += n;
            source.position_ += n;
            continue;
        }
        if (n == 0) break;
        if (errno == EINTR) continue;
        if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) break;
        return failBoth(errno);
    }
    // Some files report nothing to copy_file_range: the end is what a read finds.
    constexpr unsigned long kBlock = 128 * 1024;
    std::unique_ptr<char[]> block;
    for (;;) {
        if (!block) block.reset(new (std::nothrow) char[kBlock]);
        if (!block) return failBoth(kErrNoMemory);
        const long got = source.read(block.get(), kBlock);
        if (got < 0) return failBoth(source.lastError_);
        if (got == 0) return copied;
        if (write(block.get(), static_cast<unsigned long>(got)) != got) return failBoth(lastError_);
        copied += got;
    }
}

void CXFile::setReadCallForTests(ReadCall call) { readCall = call; }

long CXFile::bufRead(char* buffer, unsigned long size) {
    if (buffer == nullptr) return fail(kErrWrongState);
    unsigned long delivered = 0;
    while (delivered < size) {
        if (readCount_ > 0) {
            unsigned long n = std::min<unsigned long>(readCount_, size - delivered);
            memcpy(buffer + delivered, readCursor_, n);
            readCursor_ += n;
            readCount_ -= static_cast<uint32_t>(n);
            delivered += n;
            continue;
        }
        unsigned long rest = size - delivered;
        if (rest >= bufSize_) {
            long n = read(buffer + delivered, rest);
            if (n < 0) return delivered > 0 ? static_cast<long>(delivered) : -1;
            delivered += static_cast<unsigned long>(n);
            break;
        }
        long n = refill();
        if (n < 1) return delivered > 0 ? static_cast<long>(delivered) : n;
    }
    return static_cast<long>(delivered);
}

long CXFile::refill() {
    if (!ensureBuffer(readBuffer_, readAllocated_)) return fail(kErrNoMemory);
    long n = read(readBuffer_, bufSize_);
    readCursor_ = readBuffer_;
    readCount_ = n > 0 ? static_cast<uint32_t>(n) : 0;
    return n;
}

long CXFile::bufWrite(const char* data, unsigned long size) {
    // Checked here, not at the flush: data for a file that cannot be written must not be
    // accepted into the buffer as if it were written.
    if (openFlag_ == 0 || mode_ == sfReadOnly || (data == nullptr && size > 0)) return fail(kErrWrongState);
    if (!ensureBuffer(writeBuffer_, writeAllocated_)) return fail(kErrNoMemory);
    unsigned long done = 0;
    while (done < size) {
        unsigned long rest = size - done;
        if (writeCount_ > 0 || rest < bufSize_) {
            unsigned long n = std::min<unsigned long>(rest, bufSize_ - writeCount_);
            memcpy(writeBuffer_ + writeCount_, data + done, n);
            writeCount_ += static_cast<uint32_t>(n);
            done += n;
            if (writeCount_ == bufSize_ && bufWriteFlush() != 0) return -1;
        } else {
            if (write(data + done, rest) < 0) return -1;
            break;
        }
    }
    return static_cast<long>(size);
}

int CXFile::bufWriteFlush() {
    if (writeCount_ == 0) return 0;
    unsigned long written = 0;
    long result = writeRaw(writeBuffer_, writeCount_, written);
    // What reached the file leaves the buffer, so that a later flush does not write it twice.
    if (written > 0 && written < writeCount_) memmove(writeBuffer_, writeBuffer_ + written, writeCount_ - written);
    writeCount_ -= static_cast<uint32_t>(written);
    return result < 0 ? -1 : 0;
}

void CXFile::bufReadFlush() {
    readCount_ = 0;
    readCursor_ = readBuffer_;
}

int CXFile::putLine(const char* line, bool flush) {
    if (line == nullptr) return fail(kErrWrongState);
    return putLine(line, strlen(line), flush);
}

int CXFile::putLine(const char* line, size_t length, bool flush) {
    if (openFlag_ == 0 || mode_ == sfReadOnly || line == nullptr) return fail(kErrWrongState);
    if ((writeBuffer_ == nullptr || writeAllocated_ != bufSize_) && !ensureBuffer(writeBuffer_, writeAllocated_))
        return fail(kErrNoMemory);
    // Most lines fit the room left in the buffer: copied in one go, with no call per part.
    if (length + 2 <= static_cast<size_t>(bufSize_ - writeCount_)) {
        memcpy(writeBuffer_ + writeCount_, line, length);
        memcpy(writeBuffer_ + writeCount_ + length, "\r\n", 2);
        writeCount_ += static_cast<uint32_t>(length + 2);
    } else if (bufWrite(line, length) < 0 || bufWrite("\r\n", 2) < 0) {
        return -1;
    }
    return flush ? bufWriteFlush() : 0;
}

int CXFile::getLine(char* buffer, unsigned long size) {
    if (size == 0 || buffer == nullptr) return fail(kErrWrongState);
    const unsigned long room = size - 1;
    unsigned long stored = 0;
    bool tooLong = false;
    bool heldCr = false;
    auto store = [&](const char* from, unsigned long n) {
        unsigned long fits = std::min(n, room - stored);
        memcpy(buffer + stored, from, fits);
        stored += fits;
        if (fits < n) {
            tooLong = true;
            lastError_ = kErrShortWrite;
        }
    };
    for (;;) {
        if (readCount_ == 0) {
            long n = refill();
            if (n < 0) {
                buffer[stored] = '\0';
                return -1;
            }
            if (n == 0) {  // end of file; a carriage return still held back is dropped
                buffer[stored] = '\0';
                if (tooLong) return -1;
                return stored == 0 ? 0 : 1;
            }
        }
        if (heldCr) {
            if (*readCursor_ == '\n') {
                ++readCursor_;
                --readCount_;
                buffer[stored] = '\0';
                return tooLong ? -1 : 1;
            }
            store("\r", 1);
            heldCr = false;
            if (*readCursor_ == '\r') {  // the next one is held back in turn
                ++readCursor_;
                --readCount_;
                heldCr = true;
                continue;
            }
        }
        // The run of ordinary bytes up to the next line feed or carriage return.
        const char* end = readCursor_ + readCount_;
        const char* lf = static_cast<const char*>(memchr(readCursor_, '\n', readCount_));
        const char* runEnd = lf != nullptr ? lf : end;
        const char* cr = static_cast<const char*>(memchr(readCursor_, '\r', static_cast<size_t>(runEnd - readCursor_)));
        if (cr != nullptr) runEnd = cr;
        store(readCursor_, static_cast<unsigned long>(runEnd - readCursor_));
        readCount_ -= static_cast<uint32_t>(runEnd - readCursor_);
        readCursor_ = const_cast<char*>(runEnd);
        if (readCount_ == 0) continue;
        char c = *readCursor_++;
        --readCount_;
        if (c == '\n') {
            buffer[stored] = '\0';
            return tooLong ? -1 : 1;
        }
        heldCr = true;
    }
}

int CXFile::setBufSize(unsigned size) {
    if (size == 0 || readCount_ > 0 || writeCount_ > 0) return fail(kErrWrongState);
    bufSize_ = size;
    return 0;
}

bool CXFile::releaseView() {
    if (view_ != nullptr && munmap(view_, viewSize_) != 0) {
        lastError_ = errno;
        EvDebug log;
        log.Debug("CXFile::mapViewOfFile", "Error [%d] from UnmapViewOfFile", lastError_);
        return false;
    }
    view_ = nullptr;
    viewSize_ = 0;
    return true;
}

const char* CXFile::mapViewOfFile() {
    EvDebug log;
    if (!releaseView()) return nullptr;
    if (openFlag_ == 0 || readFd_ < 0) {
        lastError_ = kErrWrongState;
        return nullptr;
    }
    struct stat st {};
    if (fstat(readFd_, &st) != 0) {
        lastError_ = errno;
        log.Debug("CXFile::mapViewOfFile", "Error [%d] from CreateFileMapping", lastError_);
        return nullptr;
    }
    if (st.st_size == 0) return kEmptyView;
    void* view = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, readFd_, 0);
    if (view == MAP_FAILED) {
        lastError_ = errno;
        log.Debug("CXFile::mapViewOfFile", "Error [%d] from MapViewOfFile", lastError_);
        return nullptr;
    }
    view_ = view;
    viewSize_ = static_cast<size_t>(st.st_size);
    return static_cast<const char*>(view_);
}
