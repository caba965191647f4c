// A backup job's connection to the job-control service, through which the job or one of its
// phases is ended with a status. Accepted requests are journalled like KRJobClient's
// ("jobcontrol" records); refused ones leave a debug line.
#pragma once

#include <cstdint>
#include <string>

#include "Platform/JobControlTypes.h"

class KRBkpJobClient {
public:
    KRBkpJobClient() = default;
    virtual ~KRBkpJobClient() = default;
    KRBkpJobClient(const KRBkpJobClient&) = delete;
    KRBkpJobClient& operator=(const KRBkpJobClient&) = delete;

    // True when the job is known: a central server this installation names and a job id other
    // than 0. The int, the bool and the text (null allowed) are passed to the service as given.
    // Journal: "init", args (server name, value, platform type, flag, text or "").
    bool init(const char* centralServerName, int64_t jobId, int value, KRS_PLATFORMTYPE platformType, bool flag,
              const char* text);
    bool initialized() const { return initialized_; }

    // Ends the job (statusFor KRJOBSTATUSFOR_JOB) or its current phase (KRJOBSTATUSFOR_PHASE)
    // with the status. False before a successful init.
    // Journal: "complete", args (status, statusFor, value, pending cause).
    bool complete(KRJobStatus status, KRJobStatusFor statusFor, int value, KRPendingCause cause);

private:
    bool initialized_ = false;
    int64_t jobId_ = 0;
    std::string server_;
};
