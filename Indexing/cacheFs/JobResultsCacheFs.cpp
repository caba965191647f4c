#include "Indexing/cacheFs/JobResultsCacheFs.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <strings.h>

#include "Indexing/icommon/IdentityHelpers.h"
#include "Indexing/icommon/SafeFileOps.h"
#include "Indexing/idxport/CXAutoCritSect.h"
#include "Indexing/idxport/CXCritSect.h"
#include "Indexing/idxport/CXDirectory.h"
#include "Indexing/idxport/FsPrimitives.h"
#include "Platform/EvDebug.h"
#include "Platform/KRPI_Focus.h"
#include "Platform/KRPI_MediaAgent.h"
#include "Platform/KRPI_TalClient.h"
#include "Platform/KRPI_TalServer.h"
#include "Platform/KRPlatformInfo.h"
#include "Platform/KrNetMagneticMedia.h"
#include "Platform/PlatformEnv.h"

namespace {
// Process-wide state of every cache file system, changed only under cacheFsCritSect().
constexpr KRLogonHandle kNoLogon = 0;
int instanceCount = 0;
KRLogonHandle logonHandle = kNoLogon;
bool handlelessLogon = false;
long processClientId = 0;

bool isIndexingProgram(const std::string& name) {
    return strcasecmp(name.c_str(), "CreateIndex") == 0 || strcasecmp(name.c_str(), "UpdateIndex") == 0 ||
           strcasecmp(name.c_str(), "archiveIndex") == 0;
}

std::string machinesKey(const std::string& client) { return "~Machines\\" + client; }

// What to set when initialize fails for want of a setting; null for the other failures. The
// journal line names it with the settings file read (or that it does not exist).
const char* remedyFor(EInitializationFailureReason reason) {
    switch (reason) {
        case eNoJobResultsDirectory:
            return "give the client its job results role: [Platform] TalClient=yes and "
                   "[~Machines\\<client>] JobResultsDirectory, or the server role [Platform] TalServer=yes "
                   "with its TempDirectory";
        case eNoIndexCacheBase: return "set [MediaAgent] IndexCacheDirectory (or the client's own)";
        case eSetFocusFailed: return "check VORNICA_INSTANCE and the instance's settings file";
        default: return nullptr;
    }
}
}  // namespace

JobResultsCacheFs::JobResultsCacheFs(KRAppType appType, TCacheTypeEnum cacheType, bool /*unused*/)
    : appType_(appType), cacheType_(cacheType) {
    setDebugPrefix("JOBRESFS");
    const CacheTypeInfo& info = cacheTypeInfo(cacheType);
    pendingMessage_ = info.pendingMessage;
    numericPendingMessage_ = info.pendingCode;
    setDiskFree(10);
    setNumDays(15);
}

JobResultsCacheFs::~JobResultsCacheFs() {
    {
        CXAutoCritSect guard(&cacheFsCritSect(), "CacheFs::~CacheFs", true);
        if (countedInstance_ && --instanceCount == 0) releaseReservationOfLastInstance();
    }
    releaseCacheFs();
}

void JobResultsCacheFs::releaseCacheFs() {
    delete[] cacheFs_;
    cacheFs_ = nullptr;
}

void JobResultsCacheFs::initialize(const char* clientName, bool skipLocalPath) {
    if (initialized_) return;
    if (otherCache_ != nullptr) otherCache_->initialize(clientName, skipLocalPath);
    try {
        KRPI_TalClient clientPlatform;
        KRPI_MediaAgent mediaAgent;
        KRPI_TalServer centralServer;
        KRPlatformInfo info;
        std::string familyDir = kIndexFamilyDirectory;
        std::string typeDir = cacheTypeInfo(cacheType_).directory;

        const char* name = clientName;
        if (name == nullptr || *name == '\0') name = KRPI_Focus::getFocusClientName(false);
        if (name == nullptr || *name == '\0') {
            name = info.setFocus(KRPI_Focus::getFocus()) != 0 ? info.getPhysicalMachine() : nullptr;
            debug(1, "WARNING: no focus client name - defaulting to physical machine '%s'", name ? name : "");
            reasonCode_ = eNoFocusClient;
        }
        clientName_ = name != nullptr ? name : "";

        if (appType_ == kAppTypeOptionalIndex) familyDir = typeDir = kOptionalIndexDirectory;

        const char* focus = KRPI_Focus::getFocus();
        if (clientPlatform.setFocus(focus) == 0) {
            reasonCode_ = eSetFocusFailed;
            fail("cpi setFocus failed");
        }
        if (mediaAgent.setFocus(focus) == 0) {
            reasonCode_ = eSetFocusFailed;
            fail("mpi setFocus failed");
        }
        if (centralServer.setFocus(focus) == 0) {
            reasonCode_ = eSetFocusFailed;
            fail("tspi setFocus failed");
        }
        releaseCacheFs();
        {
            CXAutoCritSect guard(&cacheFsCritSect(), "CacheFs::initialize", true);
            if (!countedInstance_) ++instanceCount;
            countedInstance_ = true;
        }

        std::string base;
        if (appType_ == kAppTypeJobResults) {
            pendingMessage_ = "cannot access Job Results cache";
            numericPendingMessage_ = kPendingJobResultsAccess;
            std::string user, password;
            char dir[1027] = "", userBuffer[1027] = "", passwordBuffer[1027] = "";
            if (clientPlatform.invalidKRPlatform() == 0) {
                if (!clientPlatform.getJobResultsDirectory(clientName_.c_str(), dir, userBuffer, passwordBuffer,
                                                           sizeof dir)) {
                    pendingMessage_ = "cannot determine Job Results cache base";
                    numericPendingMessage_ = kPendingJobResultsBase;
                    reasonCode_ = eNoJobResultsDirectory;
                    fail("no job results directory");
                }
                base = dir;
            } else if (centralServer.invalidKRPlatform() == 0) {
                const char* temp = centralServer.getHalcyTempDirectory();
                base = temp != nullptr ? temp : "";
            } else {
                pendingMessage_ = "cannot determine Job Results cache base. Not a TalClient platform";
                numericPendingMessage_ = kPendingJobResultsBase;
                reasonCode_ = eNoJobResultsDirectory;
                fail("no job results directory");
            }
            if (userBuffer[0] != '\0') {
                user = userBuffer;
                password = passwordBuffer;
                debug(1, "job results impersonation user is '%s'", user.c_str());
            }
            clientCache_ = true;
            familyDir = typeDir = kJobResultsDirectory;
            impersonateIndexingUser(false, user.c_str(), password.c_str());
        } else {
            std::string localPath;
            if (isIndexingProgram(EvDebug::getApplicationName()) && !skipLocalPath &&
                mediaAgent.getIndexCacheDirectory(clientName_.c_str(), "sLOCALINDEXCACHEPATH", localPath) &&
                !localPath.empty()) {
                info.setFocus(focus);
                int disabled = 0, isUnc = 0;
                if (!info.getRegInt(machinesKey(clientName_).c_str(), "bLOCALINDEXCACHEDISABLED", &disabled)) disabled = 0;
                if (!info.getRegInt(machinesKey(clientName_).c_str(), "bLOCALINDEXCACHEISUNC", &isUnc)) isUnc = 0;
                if (disabled != 0 || isUnc == 0) localPath.clear();
            } else {
                localPath.clear();
            }
            const char* configured = mediaAgent.getIndexCacheDirectory(clientName_.c_str());
            if (configured == nullptr) configured = centralServer.getIndexCacheDirectory(clientName_.c_str());
            if (configured == nullptr) {
                pendingMessage_ = "cannot determine index cache base";
                numericPendingMessage_ = kPendingIndexCacheBase;
                reasonCode_ = eNoIndexCacheBase;
                fail("no index cache");
            }
            base = configured;
            remoteCacheFs_.clear();
            if (!localPath.empty() && localPath != base) {
                remoteCacheFs_ = base;
                base = localPath;
            }
            clientCache_ = false;
            impersonateIndexingUser(false, nullptr, nullptr);
        }

        // Old root: base/2; new root: base/<type directory>.
        const std::string separator = (!base.empty() && base.back() == kPathSep) ? "" : std::string(1, kPathSep);
        const std::string oldRoot = base + separator + "2";
        const std::string newRoot = base + separator + typeDir;
        reserveFilePath_ = oldRoot;
        bool oldMissing = !rootExists(oldRoot.c_str(), true) && accessError_ == ENOENT;
        if (clientCache_ && !oldMissing) {
            const std::string zero = oldRoot + kPathSep + "0";
            if (!rootExists(zero.c_str(), true) && accessError_ == ENOENT) oldMissing = true;
        }
        const bool newExists = rootExists(newRoot.c_str(), true);
        std::string root;
        if (newExists || oldMissing) {
            root = newRoot;
            reserveFilePath_ = base + separator + familyDir;
        } else {
            root = base;
        }
        reserveFilePath_ += kPathSep;
        reserveFilePath_ += kReserveFileName;

        cacheFs_ = new (std::nothrow) char[root.size() + 1];
        if (cacheFs_ == nullptr) {
            reasonCode_ = eOutOfMemory;
            fail("out of memory");
        }
        memcpy(cacheFs_, root.c_str(), root.size() + 1);
        recursiveMkdir(cacheFs_, 0700);
        measureRoot();
        setCleanupPad(1000000);
        reasonCode_ = eInitSucceeded;
        initialized_ = true;
    } catch (const Failure& failure) {
        int error = errno;
        releaseCacheFs();
        debug(1, "initialize: %s, errno=%d\n", failure.text, error);
        if (const char* remedy = remedyFor(reasonCode_)) {
            const std::string config = PlatformEnv::configPath();
            debug(1, "initialize: %s: %s in %s%s (see docs/configuration.md)\n", pendingMessage_.c_str(), remedy,
                  config.c_str(), PlatformEnv::pathExists(config.c_str()) ? "" : ", which does not exist");
        }
    }
}

void JobResultsCacheFs::adoptInitialization(const JobResultsCacheFs& resolved) {
    if (initialized_ || !resolved.initialized_ || resolved.cacheFs_ == nullptr) return;
    const size_t size = strlen(resolved.cacheFs_) + 1;
    cacheFs_ = new (std::nothrow) char[size];
    if (cacheFs_ == nullptr) {
        reasonCode_ = eOutOfMemory;
        return;
    }
    memcpy(cacheFs_, resolved.cacheFs_, size);
    {
        CXAutoCritSect guard(&cacheFsCritSect(), "CacheFs::adoptInitialization", true);
        if (!countedInstance_) ++instanceCount;
        countedInstance_ = true;
    }
    clientName_ = resolved.clientName_;
    pendingMessage_ = resolved.pendingMessage_;
    numericPendingMessage_ = resolved.numericPendingMessage_;
    clientCache_ = resolved.clientCache_;
    reserveFilePath_ = resolved.reserveFilePath_;
    remoteCacheFs_ = resolved.remoteCacheFs_;
    blockSize_ = resolved.blockSize_;
    freeBlocks_ = resolved.freeBlocks_;
    totalBlocks_ = resolved.totalBlocks_;
    pad_ = resolved.pad_;
    reasonCode_ = eInitSucceeded;
    initialized_ = true;
}

bool JobResultsCacheFs::rootExists(const char* path, bool retryLogon) {
    if (fsAccessExists(path) == 0) return true;
    accessError_ = errno;
    if (accessError_ == EACCES && retryLogon) {
        impersonateIndexingUser(true, nullptr, nullptr);
        if (fsAccessExists(path) == 0) return true;
        accessError_ = errno;
    }
    return false;
}

void JobResultsCacheFs::measureRoot() {
    int error = 0;
    if (measureFreeSpace(error) != 0) {
        if (error == EACCES) {
            debug(1, "getFreeSpace failed - retrying user impersonation (cache '%s')\n", cacheFs_);
            impersonateIndexingUser(true, nullptr, nullptr);
            recursiveMkdir(cacheFs_, 0700);
            if (measureFreeSpace(error) != 0) {
                debug(1, "getFreeSpace failed during retry, code %d\n", error);
                fail("getFreeSpace retry failed");
            }
        } else {
            pendingMessage_ = std::string("check if index cache directory ") + cacheFs_ +
                              " is present and accessible on the MediaAgent";
            numericPendingMessage_ = kPendingIndexCacheMissing;
            if (error == ENOENT)
                debug(1, "cache directory '%s' does not exist\n", cacheFs_);
            else
                debug(1, "cache directory '%s' error %d in getFreeSpace\n", cacheFs_, error);
            debug(1, "cache directory '%s' error %d in getFreeSpace\n", cacheFs_, error);
            releaseCacheFs();
            reasonCode_ = eFreeSpaceFailed;
            fail("getFreeSpace failed");
        }
    }
}

void JobResultsCacheFs::impersonateIndexingUser(bool retry, const char* user, const char* password) {
    CXAutoCritSect guard(&cacheFsCritSect(), "CacheFs::impersonateIndexingUser", true);
    if (retry) {
        if (logonHandle == kNoLogon) {
            debug(1, "%s - %s\n", "permissions problem detected", "now impersonating a user");
        } else {
            debug(1, "%s - %s\n", "permissions problem detected",
                  handlelessLogon ? "now impersonating a user" : "repeating user impersonation");
            if (!handlelessLogon) KRCloseLogonHandle(logonHandle);
            logonHandle = kNoLogon;
            handlelessLogon = false;
        }
    }
    if (logonHandle != kNoLogon) {
        if (!handlelessLogon && KRImpersonateLoggedOnUser(logonHandle) == 0) {
            debug(1, "KRImpersonateLoggedOnUser failed with error %d.\n", errno);
            numericPendingMessage_ = kPendingImpersonationFailed;
            fail("ImpersonateLoggedOnUser failed");
        }
        return;
    }
    char userBuffer[1026] = "", passwordBuffer[1026] = "";
    if (user == nullptr) {
        KRPI_MediaAgent mediaAgent;
        mediaAgent.setFocus(KRPI_Focus::getFocus());
        mediaAgent.getIndexingUserName(clientName_.c_str(), userBuffer, sizeof userBuffer);
        user = userBuffer;
    }
    if (password == nullptr) {
        KRPI_MediaAgent mediaAgent;
        mediaAgent.setFocus(KRPI_Focus::getFocus());
        mediaAgent.getIndexingUserPwd(clientName_.c_str(), passwordBuffer, sizeof passwordBuffer);
        password = passwordBuffer;
    }
    if (*user == '\0') return;
    debug(4, "impersonating user '%s' %s %s (client '%s')", user, *user == '\0' ? "No User" : "",
          *password == '\0' ? "No Password" : "", clientName_.c_str());
    if (*password == '\0') return;
    KrNetMagneticMedia media;
    unsigned long error = 0;
    if (!media.impersonateUser("CacheFs::CacheFs", user, password, error, false)) {
        debug(1, "cannot impersonate user '%s', code %d\n", user, static_cast<int>(error));
        // Once: every retry of initialize fails here again and must not make the text grow.
        static const std::string suffix = " - user impersonation failed";
        if (!retry && !pendingMessage_.ends_with(suffix)) pendingMessage_ += suffix;
        numericPendingMessage_ = kPendingImpersonationFailed;
        fail("impersonateUser failed");
    }
    logonHandle = media.getLoginToken();
    if (logonHandle == KR_INVALID_LOGON_HANDLE) handlelessLogon = true;  // the handle value itself marks it held
}

bool JobResultsCacheFs::isInitialized() {
    if (initialized_) return true;
    const int reason = reasonCode_;
    if (reason < 0 || reason > static_cast<int>(eNoFocusClient)) {
        debug(1, "Failed to initialize with reason %d. Return with failure.", reason);
        return false;
    }
    debug(1, "Failed to initialize with reason %d. Retry.", reason);
    const char* name = KRPI_Focus::getFocusClientName(false);
    if (name == nullptr || *name == '\0') debug(1, "ERROR: CacheFs is not initialized!!!");
    const std::string client = name != nullptr ? name : "";
    initialize(client.c_str());
    return initialized_;
}

const char* JobResultsCacheFs::getCacheFs() { return isInitialized() ? cacheFs_ : nullptr; }

bool JobResultsCacheFs::impersonatedUser() {
    CXAutoCritSect guard(&cacheFsCritSect(), "CacheFs::impersonatedUser", true);
    return logonHandle != kNoLogon;
}

void JobResultsCacheFs::resetLoginToken() {
    CXAutoCritSect guard(&cacheFsCritSect(), "CacheFs::resetLoginToken", true);
    if (logonHandle != kNoLogon && !handlelessLogon) KRCloseLogonHandle(logonHandle);
    logonHandle = kNoLogon;
    handlelessLogon = false;
}

int JobResultsCacheFs::setDiskFree(unsigned percent) {
    if (percent > 99) {
        debug(1, "setDiskFree:  invalid parameter %u > 99 percent\n", percent);
        return -1;
    }
    minFreePercent_ = percent;
    freeRatio_ = percent == 0 ? 0.0 : 100.0 / percent;
    return 0;
}

void JobResultsCacheFs::setCleanupPad(uint64_t bytes) {
    if (blockSize_ != 0) pad_ = static_cast<uint32_t>(bytes / blockSize_);
}

uint32_t JobResultsCacheFs::getCurrentTime() { return static_cast<uint32_t>(time(nullptr)); }

long JobResultsCacheFs::getClientId() {
    if (!isInitialized()) return 0;
    CXAutoCritSect guard(&cacheFsCritSect(), "CacheFs::getClientId", true);
    if (processClientId == 0) {
        processClientId = getMyClientId(clientName_.c_str());
        if (processClientId == 0) debug(1, "cannot determine client id");
    }
    return processClientId;
}

bool indexCacheImpersonation(const char* clientName) {
    JobResultsCacheFs cache(1, TCacheIndex);
    cache.initialize(clientName);
    return cache.isInitialized();
}

bool getCatalogServerEnabledFlag(const char* client) {
    KRPlatformInfo info;
    info.setFocus(KRPI_Focus::getFocus());
    int value = 0;
    return info.getRegInt(machinesKey(client != nullptr ? client : "").c_str(), "nTRANLOGCATALOGSERVERENABLED",
                          &value) &&
           value == 1;
}

bool getCatalogServerEnabledFlag(const std::string& client) { return getCatalogServerEnabledFlag(client.c_str()); }

bool setCatalogServerEnabledFlag(const char* client, bool enabled) {
    KRPlatformInfo info;
    info.setFocus(KRPI_Focus::getFocus());
    return info.setRegInt(machinesKey(client != nullptr ? client : "").c_str(), "nTRANLOGCATALOGSERVERENABLED",
                          enabled ? 1 : 0);
}

bool setCatalogServerEnabledFlag(const std::string& client, bool enabled) {
    return setCatalogServerEnabledFlag(client.c_str(), enabled);
}
