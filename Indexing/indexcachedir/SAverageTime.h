// Timing counters that report in a debug log: an average counter of the performance library
// that also keeps the longest sample and a byte total, and reports them once per period.
//
// A report goes to a logger at the counter's level:
//   "ID = <name>: Job Id = <job>,Samples = <n>,Time = <s> Sec(s),MaxTime = <s> Sec(s),
//    Average = <s> Sec/Sample" and, when bytes were counted, ", Average Speed=<MB/s> MB/Sec".
// A counter with period 0 takes the process's period, decided once: the setting
// "nTRANLOGCATALOGSERVERPERFPERIOD" of "~MediaAgent" (at least 60), or 1800 seconds when it is
// missing or the process has no product focus.
#pragma once

#include <cstdint>
#include <string>

#include "Platform/CAverageCounter.h"
#include "Platform/KrCriticalSection.h"

class TDebuggable;

class SAverageTimeNotThreadSafe : public CAverageCounter {
public:
    SAverageTimeNotThreadSafe(const char* name, uint32_t periodSeconds, bool resetAfterReport, int64_t jobId,
                              uint32_t level);
    ~SAverageTimeNotThreadSafe() override;

    bool AddSample(double seconds) override;
    // Clears the longest time and the byte total, then the samples.
    void Reset() override;

    void AddBytes(uint64_t bytes) { bytes_ += bytes; }
    // Writes the report line when the period has passed since the last report, or when forced;
    // nothing without samples. jobId 0 reports the counter's own job id. A null logger: nothing.
    void Report(TDebuggable* logger, bool force, int64_t jobId);

    const std::string& Name() const { return name_; }
    double MaxTime() const { return maxTime_; }
    uint64_t Bytes() const { return bytes_; }

protected:
    uint32_t lastReport_;  // seconds since 1970
    std::string name_;
    uint32_t period_;
    uint64_t bytes_ = 0;
    bool resetAfterReport_;
    int64_t jobId_;
    uint32_t level_;
    double maxTime_ = 0.0;
};

// The counter for several threads: every operation holds the counter's critical section.
class SAverageTime : public SAverageTimeNotThreadSafe {
public:
    using SAverageTimeNotThreadSafe::SAverageTimeNotThreadSafe;

    bool AddSample(double seconds) override;
    void Reset() override;
    void AddBytes(uint64_t bytes);
    void Report(TDebuggable* logger, bool force, int64_t jobId);

private:
    KrCriticalSection section_;
};

// The process's two counters of the catalog server, made when the library is loaded: "CatSrv
// Request" and "CatSrv Appender" (period 0, reset after each report, job id 0, level 1). Their
// samples come from the host program.
SAverageTime& catSrvRequestTime();
SAverageTime& catSrvAppenderTime();
// Reports both counters now, whatever their period.
void reportCatSrvTimes(TDebuggable* logger);
