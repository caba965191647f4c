#include "Indexing/indexcachedir/SAverageTime.h"

#include <cinttypes>
#include <mutex>

#include "Indexing/cacheFs/JobResultsCacheFs.h"
#include "Indexing/icommon/TDebuggable.h"
#include "Platform/KRPI_Focus.h"
#include "Platform/KRPlatformInfo.h"

namespace {
constexpr uint32_t kDefaultPeriod = 1800;
constexpr uint32_t kShortestPeriod = 60;

uint32_t processReportPeriod() {
    static const uint32_t period = [] {
        const char* focus = KRPI_Focus::getFocus();
        if (focus == nullptr || *focus == '\0') return kDefaultPeriod;
        KRPlatformInfo info;
        info.setFocus(focus);
        int value = 0;
        if (!info.getRegInt("~MediaAgent", "nTRANLOGCATALOGSERVERPERFPERIOD", &value)) return kDefaultPeriod;
        return value < static_cast<int>(kShortestPeriod) ? kShortestPeriod : static_cast<uint32_t>(value);
    }();
    return period;
}
}  // namespace

SAverageTimeNotThreadSafe::SAverageTimeNotThreadSafe(const char* name, uint32_t periodSeconds, bool resetAfterReport,
                                                     int64_t jobId, uint32_t level)
    : lastReport_(JobResultsCacheFs::getCurrentTime()),
      name_(name != nullptr ? name : ""),
      period_(periodSeconds),
      resetAfterReport_(resetAfterReport),
      jobId_(jobId),
      level_(level) {}

SAverageTimeNotThreadSafe::~SAverageTimeNotThreadSafe() = default;

bool SAverageTimeNotThreadSafe::AddSample(double seconds) {
    if (!CAverageCounter::AddSample(seconds)) return false;
    if (seconds > maxTime_) maxTime_ = seconds;
    return true;
}

void SAverageTimeNotThreadSafe::Reset() {
    maxTime_ = 0.0;
    bytes_ = 0;
    CAverageCounter::Reset();
}

void SAverageTimeNotThreadSafe::Report(TDebuggable* logger, bool force, int64_t jobId) {
    if (logger == nullptr) return;
    if (period_ == 0) period_ = processReportPeriod();
    const uint32_t now = JobResultsCacheFs::getCurrentTime();
    // A clock set back counts as no time passed.
    if (!force && static_cast<int64_t>(now) - static_cast<int64_t>(lastReport_) < static_cast<int64_t>(period_))
        return;
    lastReport_ = now;
    if (Samples() > 0) {
        const uint64_t job = static_cast<uint64_t>(jobId != 0 ? jobId : jobId_);
        const int samples = static_cast<int>(Samples());
        if (bytes_ != 0) {
            const double speed = Time() > 0.0 ? static_cast<double>(bytes_) / 1024.0 / 1024.0 / Time() : 0.0;
            logger->debug(static_cast<int>(level_),
                          "ID = %s: Job Id = %" PRIu64 ",Samples = %d,Time = %f Sec(s),MaxTime = %f Sec(s),Average = %f "
                          "Sec/Sample, Average Speed=%f MB/Sec",
                          name_.c_str(), job, samples, Time(), maxTime_, Average(), speed);
        } else {
            logger->debug(static_cast<int>(level_),
                          "ID = %s: Job Id = %" PRIu64 ",Samples = %d,Time = %f Sec(s),MaxTime = %f Sec(s),Average = %f "
                          "Sec/Sample",
                          name_.c_str(), job, samples, Time(), maxTime_, Average());
        }
    }
    if (resetAfterReport_) Reset();
}

bool SAverageTime::AddSample(double seconds) {
    std::lock_guard<KrCriticalSection> guard(section_);
    return SAverageTimeNotThreadSafe::AddSample(seconds);
}

void SAverageTime::Reset() {
    std::lock_guard<KrCriticalSection> guard(section_);
    SAverageTimeNotThreadSafe::Reset();
}

void SAverageTime::AddBytes(uint64_t bytes) {
    std::lock_guard<KrCriticalSection> guard(section_);
    SAverageTimeNotThreadSafe::AddBytes(bytes);
}

void SAverageTime::Report(TDebuggable* logger, bool force, int64_t jobId) {
    std::lock_guard<KrCriticalSection> guard(section_);
    SAverageTimeNotThreadSafe::Report(logger, force, jobId);
}

SAverageTime& catSrvRequestTime() {
    static SAverageTime counter("CatSrv Request", 0, true, 0, 1);
    return counter;
}

SAverageTime& catSrvAppenderTime() {
    static SAverageTime counter("CatSrv Appender", 0, true, 0, 1);
    return counter;
}

namespace {
// Both counters exist from the library's loading on, whoever asks first.
[[maybe_unused]] SAverageTime& requestAtLoad = catSrvRequestTime();
[[maybe_unused]] SAverageTime& appenderAtLoad = catSrvAppenderTime();
}  // namespace

void reportCatSrvTimes(TDebuggable* logger) {
    catSrvRequestTime().Report(logger, true, 0);
    catSrvAppenderTime().Report(logger, true, 0);
}
