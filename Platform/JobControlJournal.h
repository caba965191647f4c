// What the job clients share: which central servers this installation knows, and the journal
// line each accepted job-control request leaves (kind "jobcontrol").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Platform/EventJournal.h"
#include "Platform/JobControlTypes.h"

namespace JobControlJournal {

// True when serverName equals, ignoring case, the TalServerHostName of [Platform\1],
// [Platform\2], [Platform\4] or [Platform\<platformType>]. An installation that names no central
// server knows none.
bool isKnownCentralServer(const std::string& serverName, KRS_PLATFORMTYPE platformType);

// The checks of both clients' init: a central server name this installation knows and a job id
// other than 0. A refusal is logged under the function's name; the server name is returned.
bool acceptInit(const char* function, const char* centralServerName, int64_t jobId, KRS_PLATFORMTYPE platformType,
                std::string& server);

// Appends one "jobcontrol" record: message = the request, args as given.
void record(int64_t jobId, const char* request, std::vector<JournalArg> args);

}  // namespace JobControlJournal
