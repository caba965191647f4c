#include "Platform/JobControlJournal.h"

#include <strings.h>

#include <set>
#include <utility>

#include "Platform/EvDebug.h"
#include "Platform/SettingsStore.h"

namespace JobControlJournal {

bool isKnownCentralServer(const std::string& serverName, KRS_PLATFORMTYPE platformType) {
    if (serverName.empty()) return false;
    std::set<int> types = {KRS_PLATFORMTYPE_TALCLIENT, KRS_PLATFORMTYPE_MEDIAAGENT, KRS_PLATFORMTYPE_TALSERVER,
                           platformType};
    SettingsStore settings = SettingsStore::current();
    for (int type : types) {
        auto name = settings.getText("Platform\\" + std::to_string(type), "TalServerHostName");
        if (name && !name->empty() && strcasecmp(name->c_str(), serverName.c_str()) == 0) return true;
    }
    return false;
}

bool acceptInit(const char* function, const char* centralServerName, int64_t jobId, KRS_PLATFORMTYPE platformType,
                std::string& server) {
    server = centralServerName != nullptr ? centralServerName : "";
    EvDebug log;
    if (server.empty()) {
        log.DebugJob(function, jobId, "refused: no central server name\n");
        return false;
    }
    if (jobId == 0) {
        log.DebugJob(function, jobId, "refused: job id 0 (TalServer=%s)\n", server.c_str());
        return false;
    }
    if (!isKnownCentralServer(server, platformType)) {
        log.DebugJob(function, jobId, "refused: '%s' is not a central server of this installation\n", server.c_str());
        return false;
    }
    return true;
}

void record(int64_t jobId, const char* request, std::vector<JournalArg> args) {
    JournalRecord line;
    line.kind = "jobcontrol";
    line.jobId = jobId;
    line.message = request;
    line.args = std::move(args);
    EventJournal::record(std::move(line));
}

}  // namespace JobControlJournal
