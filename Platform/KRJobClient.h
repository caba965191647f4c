// A job's connection to the job-control service. The stand-in service is the event journal:
// every accepted request appends one "jobcontrol" record (see JobControlJournal.h); a refused
// request leaves a debug line instead and changes nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Platform/JobControlTypes.h"

class KRJobClient {
public:
    // The longest list of job ids that setPendingCause accepts.
    static constexpr size_t kMaxListedJobs = 1024;

    KRJobClient() = default;
    virtual ~KRJobClient() = default;
    KRJobClient(const KRJobClient&) = delete;
    KRJobClient& operator=(const KRJobClient&) = delete;

    // True when the job is known: the central server is one this installation names
    // ([Platform\<type>] TalServerHostName, ignoring case) and jobId is not 0.
    // Journal: "init", args (server name, platform type).
    bool init(const char* centralServerName, int64_t jobId, KRS_PLATFORMTYPE platformType);
    bool initialized() const { return initialized_; }
    int64_t jobId() const { return jobId_; }

    // Puts the job into the pending state with the given cause. jobIds, when not null, is a
    // list of further jobs ended by a 0 entry (at most kMaxListedJobs). False before a
    // successful init or for a list without its end.
    // Journal: "setPendingCause", args (cause, messageType, flag, arg1..arg8, listed ids...).
    bool setPendingCause(int cause, const int64_t* jobIds, bool flag, EvMessageType messageType, int arg1 = 0,
                         int arg2 = 0, int arg3 = 0, bool arg4 = false, int arg5 = 0, int arg6 = 0, int arg7 = 0,
                         int arg8 = 0);

private:
    bool initialized_ = false;
    int64_t jobId_ = 0;
    std::string server_;
    KRS_PLATFORMTYPE platformType_ = 0;
};
