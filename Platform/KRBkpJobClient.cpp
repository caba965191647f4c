#include "Platform/KRBkpJobClient.h"

#include <vector>

#include "Platform/EvDebug.h"
#include "Platform/JobControlJournal.h"

bool KRBkpJobClient::init(const char* centralServerName, int64_t jobId, int value, KRS_PLATFORMTYPE platformType,
                          bool flag, const char* text) {
    initialized_ = false;
    std::string server = centralServerName != nullptr ? centralServerName : "";
    EvDebug log;
    if (server.empty()) {
        log.DebugJob("KRBkpJobClient::init", jobId, "refused: no central server name\n");
        return false;
    }
    if (jobId == 0) {
        log.DebugJob("KRBkpJobClient::init", jobId, "refused: job id 0 (TalServer=%s)\n", server.c_str());
        return false;
    }
    if (!JobControlJournal::isKnownCentralServer(server, platformType)) {
        log.DebugJob("KRBkpJobClient::init", jobId, "refused: '%s' is not a central server of this installation\n",
                     server.c_str());
        return false;
    }
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
