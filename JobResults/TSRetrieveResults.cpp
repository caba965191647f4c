#include "JobResults/TSRetrieveResults.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "JobResults/RemoteReply.h"
#include "Platform/KRSession.h"

TSRetrieveResults::TSRetrieveResults(unsigned long talCell, int64_t jobId, ResultsFile kind, char* hostName)
    : talCell_(static_cast<uint32_t>(talCell)), jobId_(jobId), fileType_(kind),
      hostName_(hostName != nullptr ? strdup(hostName) : nullptr) {
    setDebugPrefix("TSRETRIEVERESULTS");
}

TSRetrieveResults::~TSRetrieveResults() { free(hostName_); }

void TSRetrieveResults::setSendTimeout(int milliseconds) {
    sendTimeoutMs_ = milliseconds > 0 ? milliseconds : RetrieveResults::kSendTimeoutMs;
}

bool TSRetrieveResults::startProgram(KRSession& session, int64_t seqNo, int64_t lineNumber, int64_t numLines) {
    if (hostName_ == nullptr) {
        debug(1, "getPage: no host name\n");
        return true;
    }
    krsExecuteRemoteCommandType command{};
    snprintf(command.programName, sizeof command.programName, "%s", kProgramName);
    snprintf(command.argumentLine, sizeof command.argumentLine, "%lu %" PRIu64 " %d %" PRId64 " %" PRId64 " %" PRId64,
             static_cast<unsigned long>(talCell_), static_cast<uint64_t>(jobId_), static_cast<int>(fileType_), seqNo,
             lineNumber, numLines);
    if (session.dataAgentAttach(&command, hostName_, KRS_PLATFORMTYPE_TALCLIENT) == 1) return false;
    unsigned long code = 0;
    char* text = nullptr;
    session.getLastError(&code, &text);
    debug(1, "KRSession to %s failed with code %lu=%s\n", hostName_, code, text != nullptr ? text : "");
    return true;
}

bool TSRetrieveResults::getPage(int64_t seqNo, int64_t lineNumber, int64_t numLines) {
    KRSession session;
    return startProgram(session, seqNo, lineNumber, numLines);
}

bool TSRetrieveResults::getPage(int64_t seqNo, int64_t lineNumber, int64_t numLines, const CYuSocket* socket) {
    KRSession session;
    if (startProgram(session, seqNo, lineNumber, numLines)) return true;
    if (socket == nullptr) return false;
    return relayReply(session, seqNo, lineNumber, numLines, *socket);
}

bool TSRetrieveResults::relayReply(KRSession& session, int64_t seqNo, int64_t lineNumber, int64_t numLines,
                                   CYuSocket socket) {
    RemoteReply::ReplyRelay relay(socket, seqNo, lineNumber, numLines, sendTimeoutMs_);
    unsigned long exitCode = ~0UL;
    bool ended = false, broken = false;
    krsDatabuf buffer{};
    for (;;) {
        // Once the end frame is relayed the caller has its page; the program is given a short
        // while to end, and is not waited for beyond it.
        const int waitSeconds = relay.complete() ? kEndWaitSeconds : kReplyWaitSeconds;
        unsigned long type = 0, secondWord = 0;
        int received = 0;
        if (session.receiveMessage(&type, &secondWord, &buffer, waitSeconds, &received) != 1) {
            unsigned long code = 0;
            char* text = nullptr;
            session.getLastError(&code, &text);
            debug(relay.complete() ? 2 : 1, "getPage: reading the reply from %s failed with code %lu=%s\n", hostName_,
                  code, text);
            broken = !relay.complete();
            break;
        }
        if (received == 0) {
            if (relay.complete()) {
                debug(2, "getPage: the retrieval program on %s has not ended %d s after its reply; it is left to finish\n",
                      hostName_, kEndWaitSeconds);
                break;
            }
            debug(1, "getPage: no reply from %s within %d s; the retrieval program is ended\n", hostName_,
                  kReplyWaitSeconds);
            session.abortSession();
            broken = true;
            break;
        }
        if (type == KRS_MSG_PEER_END) {
            exitCode = secondWord;
            ended = true;
            break;
        }
        if (type == KRS_MSG_PEER_LINE && !relay.complete()) {
            std::string bytes;
            switch (RemoteReply::decodeLine(buffer.data, buffer.length, bytes)) {
            case RemoteReply::LineKind::Other:
                break;
            case RemoteReply::LineKind::Malformed:
                debug(1, "getPage: a malformed reply line from %s (%zu characters); the reply is broken off\n",
                      hostName_, buffer.fullLength);
                broken = true;
                break;
            case RemoteReply::LineKind::Reply:
                if (!relay.take(bytes)) {
                    debug(1, "getPage: the reply from %s is malformed or cannot be relayed\n", hostName_);
                    broken = true;
                }
                break;
            }
            // Nothing the program still sends can mend the reply: it is not left running for it.
            if (broken) session.abortSession();
        }
        session.freeReceivedMessage(type, &buffer);
        if (broken) break;
    }
    session.freeReceivedMessage(0, &buffer);
    if (!relay.complete()) {
        if (!broken) debug(1, "getPage: the reply from %s ended early (exit code %lu)\n", hostName_, exitCode);
        relay.finishBroken();
        return true;
    }
    // The reply's own end code tells whether the page was served, as the program's exit code
    // does (which may not come: the program may linger after its reply).
    if (ended && (exitCode != 0) != (relay.endCode() != 0))
        debug(1, "getPage: the retrieval program on %s exited with code %lu after a reply that ended with %" PRId64 "\n",
              hostName_, exitCode, relay.endCode());
    return relay.endCode() != 0;
}
