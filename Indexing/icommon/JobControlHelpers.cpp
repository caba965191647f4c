#include "Indexing/icommon/JobControlHelpers.h"

#include <cinttypes>
#include <cstring>
#include <new>
#include <string>

#include "Indexing/icommon/IdentityHelpers.h"
#include "Indexing/icommon/TDebuggable.h"
#include "Platform/EvDebug.h"
#include "Platform/EvEvent.h"
#include "Platform/KRSessionTypes.h"

namespace {
// The message types that go with a pending cause: a media server's, and everyone else's.
constexpr EvMessageType kMediaAgentPendingMessage = 150;
constexpr EvMessageType kOtherPendingMessage = 300;

// idxDisconnect: the receive timeouts in seconds, the data buffer of each message, and how
// many discarded messages are logged one by one.
constexpr int kEndWaitSeconds = 60;
constexpr int kDrainWaitSeconds = 1;
constexpr size_t kMessageBufferSize = 2400;
constexpr int kLoggedDiscards = 10;

class FunctionLog : public TDebuggable {
public:
    explicit FunctionLog(const char* prefix) { setDebugPrefix(prefix); }
};

// The job client's request, with every argument the library does not use set to 0. A missing
// client or a refusal is logged.
bool requestPending(KRJobClient* client, int cause, EvMessageType messageType) {
    if (client == nullptr) {
        FunctionLog log("setPendingCause");
        log.debug(1, "no job client - pending cause 0x%x not set\n", static_cast<unsigned>(cause));
        return false;
    }
    if (client->setPendingCause(cause, nullptr, false, messageType, 0, 0, 0, false, 0, 0, 0, 0)) return true;
    FunctionLog log("setPendingCause");
    log.debug(1, "setPendingCause failed (cause 0x%x, message type %d, jobId=%" PRId64 ")\n",
              static_cast<unsigned>(cause), messageType, client->jobId());
    return false;
}
}  // namespace

KRJobClient* getJobClientObject(int64_t jobId, int platformType) {
    FunctionLog log("getJobClientObject");
    std::string server = getTalServe();
    if (server.empty()) return nullptr;
    KRJobClient* client = new (std::nothrow) KRJobClient();
    if (client == nullptr) {
        log.debug(1, "Not enough memory for a KRJobClient object");
        return nullptr;
    }
    if (!client->init(server.c_str(), jobId, static_cast<KRS_PLATFORMTYPE>(platformType))) {
        log.debug(1, "job object init failed (TalServe=%s, jobId=%" PRId64 ")\n", server.c_str(), jobId);
        delete client;
        return nullptr;
    }
    return client;
}

bool destroyJobClientObject(KRJobClient** client) {
    if (client == nullptr || *client == nullptr) return false;
    delete *client;
    *client = nullptr;
    return true;
}

void setPendingCause(KRJobClient* client, int cause, EvMessageType messageType) {
    requestPending(client, cause, messageType);
}

bool NoParamSetPendingCause(int64_t jobId, int platformType, int cause) {
    KRJobClient* client = getJobClientObject(jobId, platformType);
    if (client == nullptr) return false;
    EvMessageType messageType =
        platformType == KRS_PLATFORMTYPE_MEDIAAGENT ? kMediaAgentPendingMessage : kOtherPendingMessage;
    bool done = requestPending(client, cause, messageType);
    destroyJobClientObject(&client);
    return done;
}

void idxDisconnect(KRSession& session, bool waitForEnd, bool disconnectEvents) {
    const int timeout = waitForEnd ? kEndWaitSeconds : kDrainWaitSeconds;
    char data[kMessageBufferSize];
    EvDebug log;
    int discarded = 0;
    while (true) {
        memset(data, 0, sizeof data);
        krsDatabuf buffer;
        buffer.data = data;
        buffer.capacity = sizeof data;
        unsigned long type = 0;
        unsigned long secondWord = 0;
        int received = 0;
        if (session.receiveMessage(&type, &secondWord, &buffer, timeout, &received) != 1) return;
        if (received == 0) break;
        if (waitForEnd && type == KRS_MSG_PEER_END) {
            session.freeReceivedMessage(type, &buffer);
            // The peer has finished: its exit is collected at once. The bound only keeps a
            // peer that sent its end but lingers from holding the caller for ever.
            session.completeSession(kEndWaitSeconds);
            if (disconnectEvents) {
                EvEvent events;
                events.disconnect();
            }
            return;
        }
        session.freeReceivedMessage(type, &buffer);
        if (++discarded <= kLoggedDiscards) log.Debug("::idxDisconnect", "Discarded message: msgType = %lx", type);
    }
    if (discarded > kLoggedDiscards) log.Debug("::idxDisconnect", "Discarded %d messages", discarded);
    if (!waitForEnd) session.abortSession();
    if (disconnectEvents) {
        EvEvent events;
        events.disconnect();
    }
}
