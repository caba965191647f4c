// Job-control steps of the library: a job client for the domain's central server, putting a
// job into the pending state, and draining a session before it is left.
#pragma once

#include <cstdint>

#include "Platform/JobControlTypes.h"
#include "Platform/KRJobClient.h"
#include "Platform/KRSession.h"

// A job client initialized for jobId with the central server of getTalServe, owned by the
// caller, who releases it with destroyJobClientObject. Null when no central server is known or
// the job-control service refuses the job (logged, prefix "getJobClientObject").
KRJobClient* getJobClientObject(int64_t jobId, int platformType);

// Deletes *client and sets it to null. False (and nothing done) when client or *client is null.
bool destroyJobClientObject(KRJobClient** client);

// Puts the client's job into the pending state with cause and messageType (no further job ids,
// every other argument 0). A null client or a refused request is logged (prefix
// "setPendingCause").
void setPendingCause(KRJobClient* client, int cause, EvMessageType messageType);

// setPendingCause on a job client made for the call and released afterwards. The message type
// is 150 for platform type 2 (media server), else 300. True when the job was put into the
// pending state.
bool NoParamSetPendingCause(int64_t jobId, int platformType, int cause);

// Takes and discards the messages still queued on session, so that its peer is not left
// blocked. waitForEnd: waits up to 60 seconds for each message until the peer's end
// (KRS_MSG_PEER_END), then completes the session and returns; without it, takes what arrives
// within a second of each message, then ends the session without waiting for its peer.
// The first 10 discarded messages are logged, and their count when there were more.
// disconnectEvents: the process's event connection is closed at the end. A failed receive ends
// the call at once, with nothing more done.
void idxDisconnect(KRSession& session, bool waitForEnd, bool disconnectEvents);
