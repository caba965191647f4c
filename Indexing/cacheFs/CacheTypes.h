// The kinds of cache a cache file system serves, and why one may not be usable.
#pragma once

#include <cstdint>

// Application type given to the cache classes.
using KRAppType = uint32_t;
constexpr KRAppType kAppTypeOptionalIndex = 1000;  // "KR_Opt1"
constexpr KRAppType kAppTypeJobResults = 1001;     // a client's job results cache, "KR_JobResults"

enum TCacheTypeEnum : uint32_t {
    TCacheIndex = 0,
    TCacheContentIndex = 1,
    TCacheSnapMetadata = 2,
    TCachePage = 3,
};

enum EInitializationFailureReason : uint32_t {
    eInitSucceeded = 0,
    eNotInitialized = 1,
    eNoFocusClient = 2,
    eSetFocusFailed = 3,
    eNoJobResultsDirectory = 5,
    eNoIndexCacheBase = 6,
    eOutOfMemory = 7,
    eFreeSpaceFailed = 8,
};

// The directory, pending message and its event code of one cache type; any unknown type
// answers as TCacheIndex.
struct CacheTypeInfo {
    const char* directory;
    const char* pendingMessage;
    uint32_t pendingCode;
};
const CacheTypeInfo& cacheTypeInfo(TCacheTypeEnum type);

constexpr const char* kIndexFamilyDirectory = "KR_Index";
constexpr const char* kOptionalIndexDirectory = "KR_Opt1";
constexpr const char* kJobResultsDirectory = "KR_JobResults";
constexpr const char* kReserveFileName = "reserveFile";

constexpr uint32_t kPendingJobResultsAccess = 0xE000074;      // "cannot access Job Results cache"
constexpr uint32_t kPendingJobResultsBase = 0xE000075;        // "cannot determine Job Results cache base..."
constexpr uint32_t kPendingIndexCacheBase = 0xE000076;        // "cannot determine index cache base"
constexpr uint32_t kPendingIndexCacheMissing = 0xE000077;     // "check if index cache directory ..."
constexpr uint32_t kPendingImpersonationFailed = 0x4800002F;  // " - user impersonation failed"
