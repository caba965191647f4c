#include "Platform/KRJobClient.h"

#include <cinttypes>
#include <vector>

#include "Platform/EvDebug.h"
#include "Platform/JobControlJournal.h"

bool KRJobClient::init(const char* centralServerName, int64_t jobId, KRS_PLATFORMTYPE platformType) {
    initialized_ = false;
    std::string server;
    if (!JobControlJournal::acceptInit("KRJobClient::init", centralServerName, jobId, platformType, server)) return false;
    server_ = server;
    jobId_ = jobId;
    platformType_ = platformType;
    initialized_ = true;
    JobControlJournal::record(jobId_, "init", {JournalArg::ofText(server_.c_str()), JournalArg::ofSigned(platformType_)});
    return true;
}

bool KRJobClient::setPendingCause(int cause, const int64_t* jobIds, bool flag, EvMessageType messageType, int arg1,
                                  int arg2, int arg3, bool arg4, int arg5, int arg6, int arg7, int arg8) {
    EvDebug log;
    if (!initialized_) {
        log.DebugJob("KRJobClient::setPendingCause", jobId_, "refused: the job client is not initialized\n");
        return false;
    }
    std::vector<JournalArg> args = {JournalArg::ofSigned(cause), JournalArg::ofSigned(messageType),
                                    JournalArg::ofSigned(flag ? 1 : 0),  JournalArg::ofSigned(arg1),
                                    JournalArg::ofSigned(arg2),          JournalArg::ofSigned(arg3),
                                    JournalArg::ofSigned(arg4 ? 1 : 0),  JournalArg::ofSigned(arg5),
                                    JournalArg::ofSigned(arg6),          JournalArg::ofSigned(arg7),
                                    JournalArg::ofSigned(arg8)};
    if (jobIds != nullptr) {
        size_t count = 0;
        while (count < kMaxListedJobs && jobIds[count] != 0) ++count;
        if (count == kMaxListedJobs) {
            log.DebugJob("KRJobClient::setPendingCause", jobId_,
                         "refused: the list of job ids has no end within %zu entries\n", kMaxListedJobs);
            return false;
        }
        for (size_t i = 0; i < count; ++i) args.push_back(JournalArg::ofSigned(jobIds[i]));
    }
    JobControlJournal::record(jobId_, "setPendingCause", std::move(args));
    return true;
}
