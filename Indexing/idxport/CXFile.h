// The library's one way of touching a file's contents: five open modes, raw and buffered
// reads and writes (separate read and write buffers), lines ending in CR LF, 64-bit seeking, a
// one-byte lock far beyond the data that processes use as a shared or exclusive lock on the
// whole file, truncation and a read-only view.
//
// Locks are open-file-description locks: they belong to this object's open file, so two
// objects on one file contend even inside one process, and closing any other descriptor of the
// file leaves them in place. An exclusive lock needs a file open for writing.
//
// Buffered reading and writing do not see each other's pending bytes: a caller switching
// between them (or between buffered and raw access) calls seek in between.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Indexing/icommon/TDebuggable.h"
#include "Indexing/idxport/CXErrors.h"
#include "Indexing/idxport/LockWait.h"

// sfOpenOrCreate never follows a symbolic link as the last component (ELOOP); sfCreateNew
// makes a new entry only (kErrFileExists when any entry, a link too, has the name).
enum sfOpenMode_t { sfReadOnly = 0, sfWriteOnly = 1, sfReadWrite = 2, sfOpenOrCreate = 3, sfCreateNew = 4 };
enum sfSeekMode_t { sfSeekSet = 0, sfSeekCur = 1, sfSeekEnd = 2 };
enum sfLockMode_t { sfLockExclusive = 0, sfLockShared = 1 };
// Extra conditions of an open, combined with '|'.
enum sfOpenFlags_t : unsigned {
    sfOpenPlain = 0,
    // Only a regular file is opened: a symbolic link as the last component is not followed
    // (ELOOP), a directory is refused (EISDIR) and so is any other kind of file
    // (kErrNotRegularFile), without blocking on a FIFO. For the shared state files that
    // processes of several accounts rewrite in place.
    sfRegularFileOnly = 1,
};

class CXFile : public TDebuggable {
public:
    // The locked byte: offset 100 * 2^32.
    static constexpr int64_t kLockOffset = int64_t(100) << 32;
    static constexpr uint32_t kDefaultBufSize = 1024;

    CXFile();
    ~CXFile() override;
    CXFile(const CXFile&) = delete;
    CXFile& operator=(const CXFile&) = delete;

    // permissions: the creation mode (subject to the umask); 0 means 0666. retries: further
    // attempts, one second apart. A directory is refused (EISDIR). flags: sfOpenFlags_t.
    int open(const char* name, sfOpenMode_t mode, unsigned retries = 0, int permissions = 0,
             unsigned flags = sfOpenPlain);
    // Adopts two descriptors (such as pipe ends) as an open file: close() closes them, the
    // destructor leaves them to their owner.
    int setHandles(int readFd, int writeFd, sfOpenMode_t mode);
    int close();

    long read(char* buffer, unsigned long size);
    long write(const char* data, unsigned long size);
    int seek(int64_t offset, sfSeekMode_t origin);
    int64_t getCurOffset() const;

    // 1 locked, 0 timed out (last error kErrLockViolation), -1 error. timeout in seconds: 0 is
    // one attempt; otherwise a wait of up to timeout seconds that takes the lock as it is
    // released (LockWait.h); where it has to poll, the tries are a few ms apart at first (a lock
    // held briefly is followed at once), 200 ms apart once the wait is long.
    int lock(sfLockMode_t mode, unsigned long timeout);
    int lockForMs(sfLockMode_t mode, unsigned long budgetMs);
    // The same with the budget in milliseconds, less waitedMs already waited (which grows by
    // this call's wait: a caller that opens the file again goes on with the rest), and the
    // pacing of a wait that polls.
    int lockWithin(sfLockMode_t mode, unsigned long budgetMs, unsigned long& waitedMs, const LockPacing& pacing);
    int unlock();
    // Changes a held lock to the other mode in one step (one attempt): 1 done, 0 refused (the
    // lock held stays as it was), -1 error. A shared lock becomes exclusive only when no other
    // open file holds the byte.
    int convertLock(sfLockMode_t mode);
    // True when this open file is still the file at path: same device and inode, and not
    // unlinked. A lock granted on a file that another process removed or replaced meanwhile
    // guards nothing; callers check after every grant. False with the last error set otherwise.
    bool isStillAt(const char* path);
    // Empties the file. Refused (kErrWrongState) while the object holds a mapped view.
    int truncate();
    // Cuts the file to size bytes (written-out pending bytes first) and leaves it positioned
    // there. Refused while a view is mapped, as truncate is.
    int truncateTo(int64_t size);
    // The whole file, from its start, into contents: 0, or -1 with the last error. A read that
    // fails part-way fails the call; it never passes for the end of the file.
    int readWhole(std::string& contents);
    // Makes the file hold exactly size bytes of data, in place: written at offset 0, cut to
    // size and synced to the device, each step checked (a network file system may report a
    // write error only at the sync). 0, or -1 with the last error; the file may then hold part
    // of data, and the caller writes back what it held. Refused while a view is mapped.
    int replaceContents(const char* data, size_t size);
    // Appends the rest of source, from its position to its end, at this file's position: in the
    // kernel (copy_file_range) where both file systems allow it, so that the data need not pass
    // through this process (and a network share may copy on the server), otherwise by reads and
    // writes. Both positions advance. The bytes copied, or -1 with the last error set on both
    // files (a failed copy cannot always tell which side failed).
    int64_t appendFrom(CXFile& source);
    // Asks the kernel to start writing the file's data out now, without waiting for it: work
    // done meanwhile overlaps the disk's, and a later sync waits only for the rest. A hint, so
    // a failure is not reported.
    void startWriteback();

    long bufRead(char* buffer, unsigned long size);
    long bufWrite(const char* data, unsigned long size);
    int bufWriteFlush();
    void bufReadFlush();
    int putLine(const char* line, bool flush);
    // The same for a line whose length the caller knows.
    int putLine(const char* line, size_t length, bool flush);
    // 1 a line, 0 end of file, -1 error or line too long (last error kErrShortWrite).
    int getLine(char* buffer, unsigned long size);
    int setBufSize(unsigned size);

    // Read-only view of the whole file, valid until the next call or close; an empty file gives
    // an empty view. getViewSize tells its length.
    const char* mapViewOfFile();
    size_t getViewSize() const { return viewSize_; }

    // Test seam: while set, every read of a CXFile calls this instead of the system's read, so
    // that a test can make a read fail part-way through a file. nullptr restores the system.
    using ReadCall = long (*)(int fd, char* buffer, unsigned long size);
    static void setReadCallForTests(ReadCall call);

    int getLastError() const { return lastError_; }
    void setLastError(const CXFile& other) { lastError_ = other.lastError_; }
    bool isOpen() const { return openFlag_ != 0; }
    bool isLocked() const { return lockedFlag_ != 0; }
    const std::string& getName() const { return name_; }

protected:
    int fail(int error) {
        lastError_ = error;
        return -1;
    }

private:
    bool ensureBuffer(char*& buffer, uint32_t& allocated);
    bool releaseView();
    void dropBuffers();
    long refill();
    // write, telling how many bytes reached the file before a failure.
    long writeRaw(const char* data, unsigned long size, unsigned long& written);

    int lastError_ = 0;
    int openFlag_ = 0;
    sfOpenMode_t mode_ = sfReadOnly;
    int lockedFlag_ = 0;
    int externalFlag_ = 0;
    int64_t position_ = 0;
    char* readBuffer_ = nullptr;
    char* writeBuffer_ = nullptr;
    uint32_t bufSize_ = kDefaultBufSize;
    uint32_t readAllocated_ = 0;
    uint32_t writeAllocated_ = 0;
    char* readCursor_ = nullptr;
    uint32_t readCount_ = 0;
    uint32_t writeCount_ = 0;
    std::string name_;
    int readFd_ = -1;
    int writeFd_ = -1;
    int fileFd_ = -1;
    bool writesRegularFile_ = false;
    void* view_ = nullptr;
    size_t viewSize_ = 0;
};
