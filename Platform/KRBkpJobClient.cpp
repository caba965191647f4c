#include "Platform/KRBkpJobClient.h"

#include <vector>

#include "Platform/EvDebug.h"
#include "Platform/JobControlJournal.h"

bool KRBkpJobClient::init(const char* centralServerName, int64_t jobId, int value, KRS_PLATFORMTYPE platformType,
                          bool flag, const char* text) {
    initialized_ = false;
    std::string server;
    if (!JobControlJournal::acceptInit("KRBkpJobClient::init", centralServerName, jobId, platformType, server)) return false;
    server_ = server;
    jobId_ = jobId;
    initialized_ = true;
    JobControlJournal::record(jobId_, "init",
                              {JournalArg::ofText(server_.c_str()), JournalArg::ofSigned(value),
                               JournalArg::ofSigned(platformType), JournalArg::ofSigned(flag ? 1 : 0),
                               JournalArg::ofText(text != nullptr ? text : "")});
    return true;
}

bool KRBkpJobClient::complete(KRJobStatus status, KRJobStatusFor statusFor, int value, KRPendingCause cause) {
    if (!initialized_) {
        EvDebug log;
        log.DebugJob("KRBkpJobClient::complete", jobId_, "refused: the job client is not initialized\n");
        return false;
    }
    JobControlJournal::record(jobId_, "complete",
                              {JournalArg::ofSigned(status), JournalArg::ofSigned(statusFor),
                               JournalArg::ofSigned(value), JournalArg::ofSigned(cause)});
    return true;
}
