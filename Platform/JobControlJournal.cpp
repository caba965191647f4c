#include "Platform/JobControlJournal.h"

#include <strings.h>

#include <set>
#include <utility>

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

void record(int64_t jobId, const char* request, std::vector<JournalArg> args) {
    JournalRecord line;
    line.kind = "jobcontrol";
    line.jobId = jobId;
    line.message = request;
    line.args = std::move(args);
    EventJournal::record(std::move(line));
}

}  // namespace JobControlJournal
