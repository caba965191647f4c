// One process's view of one cache file system: the directory, on a local disk or a mounted
// share, under which every job of one kind keeps its cache directories. It resolves once where
// that root is for the cache type asked for, logs on as the indexing user when configured,
// checks that the root exists and can be measured, and serves the root, the free-space figures
// and the aging and space settings to the cache directories built on it.
//
// Layout under the configured base B: the root is B/<type directory> ("KR_Index",
// "KR_FcsIndex", "KR_SnapMetadata", "KR_PageCache", "KR_Opt1" or "KR_JobResults") and the
// reserve file B/<family directory>/reserveFile, shared by all index cache types of a volume.
// An installation laid out before the type directories (B/2 exists, the type directory does
// not) keeps B itself as the root and B/2/reserveFile.
#pragma once

#include <cstdint>
#include <string>

#include "Indexing/cacheFs/CacheTypes.h"
#include "Indexing/icommon/TDebuggable.h"

class CacheDirArray;
class CXDirectory;

class JobResultsCacheFs : public TDebuggable {
public:
    JobResultsCacheFs(KRAppType appType, TCacheTypeEnum cacheType, bool unused = false);
    ~JobResultsCacheFs() override;
    JobResultsCacheFs(const JobResultsCacheFs&) = delete;
    JobResultsCacheFs& operator=(const JobResultsCacheFs&) = delete;

    // Resolves the root; never fails towards the caller: read isInitialized and
    // getInitializationFailureReason. Does nothing once initialized.
    virtual void initialize(const char* clientName, bool skipLocalPath);
    virtual void initialize(const char* clientName) { initialize(clientName, false); }
    virtual int64_t getJobId() { return 0; }
    // Frees numBlocks (plus the pad) for a reservation, keeping the caller's own directory:
    // numBlocks when a goal was met, else 0.
    virtual int cleanUpForSpace(long numBlocks, unsigned long talCell, unsigned long appNumber, unsigned long timeStamp);

    // Cleanup by age and by space (see CacheCleanup.cpp): 1 a goal was met, 0 nothing left to
    // remove and the goal not met, -1 failure.
    int cleanUp(unsigned long numBlocks, bool removeAllOld, bool logEvent, bool useAccessTime, unsigned long talCell,
                unsigned long appNumber, unsigned long removeBefore, unsigned long keepTalCell,
                unsigned long keepAppNumber, unsigned long keepTimeStamp);
    int scanForCleanUp(CacheDirArray& array, bool useAccessTime, unsigned long talCell, unsigned long appNumber);
    int cleanUpWithoutScan(CacheDirArray& array, unsigned long numBlocks, bool removeAllOld, bool logEvent,
                           bool useAccessTime, unsigned long talCell, unsigned long appNumber,
                           unsigned long removeBefore, unsigned long keepTalCell, unsigned long keepAppNumber,
                           unsigned long keepTimeStamp);

    // True once initialized. An object that failed for want of a client name (or before any
    // reason was recorded) is initialized again here, once per call.
    bool isInitialized();
    EInitializationFailureReason getInitializationFailureReason() const { return reasonCode_; }

    const char* getClientName() const { return clientName_.c_str(); }
    // The root, or null when not initialized.
    const char* getCacheFs();
    std::string getRemoteCacheFs() const { return remoteCacheFs_; }
    TCacheTypeEnum getCacheType() const { return cacheType_; }
    KRAppType getAppType() const { return appType_; }
    const char* jobPendingMessage() const { return pendingMessage_.c_str(); }
    uint32_t getNumericJobPendingMessage() const { return numericPendingMessage_; }
    int getAccessError() const { return accessError_; }
    void setAccessError(int error) { accessError_ = error; }
    const std::string& getReserveFilePath() const { return reserveFilePath_; }

    // True when the process holds a logon of the indexing user.
    static bool impersonatedUser();
    // Forgets the process's logon; the next initialization logs on again.
    static void resetLoginToken();

    void setNumDays(unsigned numDays) {
        numDays_ = numDays;
        absCutoff_ = 0;
    }
    void setCutoffTime(unsigned long time) {
        absCutoff_ = static_cast<uint32_t>(time);
        numDays_ = 0;
    }
    unsigned getNumDays() const { return absCutoff_ != 0 ? 0 : numDays_; }
    unsigned long getCutoffTime() const { return absCutoff_; }
    int setDiskFree(unsigned percent);
    unsigned getDiskFree() const { return minFreePercent_; }
    double getFreeRatio() const { return freeRatio_; }
    void setCleanupPad(uint64_t bytes);
    uint32_t getCleanupPad() const { return pad_; }

    uint32_t getBlockSize() const { return blockSize_; }
    uint64_t getFreeBlocks() const { return freeBlocks_; }
    uint64_t getTotalBlocks() const { return totalBlocks_; }

    static uint32_t getCurrentTime();
    bool isItMyIndexCache(unsigned long talCell, unsigned long appNumber, unsigned long timeStamp) const {
        return talCell == talCell_ && appNumber == appNumber_ && timeStamp == timeStamp_;
    }
    // This machine's client id, looked up once per process; 0 when not initialized or unknown.
    long getClientId();
    bool isRunningInKrma() const { return false; }
    int removeDefunctApps() { return 0; }
    void setOtherCachePtr(JobResultsCacheFs* other) { otherCache_ = other; }

    // Space reservation in the shared reserve file (SpaceReservation.cpp). reserve: 1 reserved,
    // 0 not available even after cleanup, -1 not initialized or failed. release: 0 done, -1 not
    // initialized or failed; all drops this process's line. reserveOnDisk is the transaction on
    // the file: 1 done (always when reservation is disabled), 0 no space; other failures throw.
    int reserve(uint64_t bytes, unsigned long talCell, unsigned long appNumber, unsigned long timeStamp);
    int release(uint64_t bytes, bool all);
    // Bytes of an earlier reserve that a writer did not use go back to the process's buffer (no
    // transaction: they stay reserved in the file, like the rest of the buffer).
    void unreserve(uint64_t bytes);
    int reserveOnDisk(long numBlocks, unsigned long talCell, unsigned long appNumber, unsigned long timeStamp,
                      bool releaseAll);

    long getLastReservedBlocks() const { return lastReservedBlocks_; }
    void setLastReservedBlocks(long blocks) { lastReservedBlocks_ = static_cast<int32_t>(blocks); }
    // The process's reserve buffer for this object's reserve file: the bytes of the process's
    // line there not yet handed out. Every object of the process on the same reserve file shares
    // it; objects on other reserve files (other volumes) have buffers of their own.
    uint64_t getReserveBuffer() const;
    void setReserveBuffer(uint64_t bytes);

protected:
    // Measures the root's volume into freeBlocks_, totalBlocks_ and blockSize_; -1 with the
    // error on failure. Virtual so that a test can give the cleanup a figure of its own.
    virtual int measureFreeSpace(int& error);

    // Frees numBlocks through the other cache first, then through this one: blocks gained.
    int cleanUpBoth(long numBlocks, unsigned long talCell, unsigned long appNumber, unsigned long timeStamp);

    void setInitializationFailureReason(EInitializationFailureReason reason) { reasonCode_ = reason; }
    // Takes over what an initialized cache file system of the same application and cache type
    // resolved (root, client, remote root, reserve file, volume figures), as initialize would
    // for the same client: the cleanup's scan makes one object per directory of its own root,
    // and resolving the root again for each would read the settings thousands of times.
    void adoptInitialization(const JobResultsCacheFs& resolved);
    // A failure inside an operation travels as a text to the operation's boundary.
    struct Failure {
        const char* text;
    };
    [[noreturn]] static void fail(const char* text) { throw Failure{text}; }

    std::string clientName_;
    std::string pendingMessage_;
    uint32_t numericPendingMessage_ = 0;
    char* cacheFs_ = nullptr;
    char* cacheDir_ = nullptr;
    uint32_t talCell_ = 0;
    uint32_t appNumber_ = 0;
    uint32_t timeStamp_ = 0;
    uint32_t blockSize_ = 0;
    uint64_t freeBlocks_ = 0;
    uint64_t totalBlocks_ = 0;
    bool clientCache_ = false;
    bool initialized_ = false;
    KRAppType appType_;
    TCacheTypeEnum cacheType_;
    std::string reserveFilePath_;
    JobResultsCacheFs* otherCache_ = nullptr;
    int accessError_ = 0;
    std::string remoteCacheFs_;
    uint32_t numDays_ = 0;
    uint32_t absCutoff_ = 0;
    uint32_t minFreePercent_ = 0;
    double freeRatio_ = 0;
    uint32_t pad_ = 0;
    uint32_t ageEventCount_ = 0;
    uint32_t recentEventCount_ = 0;
    uint32_t failureEventCount_ = 0;
    uint64_t lastReserveBytes_ = 0;
    int32_t lastReservedBlocks_ = 0;
    uint32_t referenceTime_ = 0;
    uint32_t localTimeAtSync_ = 0;
    EInitializationFailureReason reasonCode_ = eNotInitialized;

private:
    friend class ReserveTransaction;  // one transaction on the reserve file (SpaceReservation.cpp)

    // Opens the root as a directory; throws "no cache fs" or "cacheFsDir opendir failed".
    void openRoot(CXDirectory& root);
    bool rootExists(const char* path, bool retryLogon);
    void measureRoot();
    void impersonateIndexingUser(bool retry, const char* user, const char* password);
    void releaseCacheFs();
    // The last object of the process removes the process's line from its reserve file.
    void releaseReservationOfLastInstance();

    bool countedInstance_ = false;  // this object is in the process's instance count
};

// Builds a temporary index cache file system for clientName and initializes it; the logon of
// the indexing user that this leaves in the process is the point. Returns isInitialized().
bool indexCacheImpersonation(const char* clientName);

// The per-client setting "nTRANLOGCATALOGSERVERENABLED" under "~Machines\<client>": true only
// when it exists and equals 1. set writes 1 or 0 and returns whether it was written.
bool getCatalogServerEnabledFlag(const char* client);
bool getCatalogServerEnabledFlag(const std::string& client);
bool setCatalogServerEnabledFlag(const char* client, bool enabled);
bool setCatalogServerEnabledFlag(const std::string& client, bool enabled);
