// Forwards a page request to the machine that holds a job's results: runs the retrieval
// program KRRetrieveResults there through a session, with the whole request on its argument
// line "talCell jobId kind seqNo lineNumber numLines".
#pragma once
#include <cstdint>

#include "Indexing/icommon/TDebuggable.h"
#include "JobResults/ResultsFile.h"
#include "Platform/CYuSocket.h"

class KRSession;

class TSRetrieveResults : public TDebuggable {
public:
    static constexpr const char* kProgramName = "KRRetrieveResults.exe";

    TSRetrieveResults(unsigned long talCell, int64_t jobId, ResultsFile kind, char* hostName);
    ~TSRetrieveResults() override;
    TSRetrieveResults(const TSRetrieveResults&) = delete;
    TSRetrieveResults& operator=(const TSRetrieveResults&) = delete;

    // Starts the retrieval program: false when it was started, true on failure.
    bool getPage(int64_t seqNo, int64_t lineNumber, int64_t numLines);
    // Starts the retrieval program and relays the reply it serves through the session to the
    // caller's socket, as RetrieveResults::getPage would write it there: false when a complete
    // reply was relayed and the program served the page, true otherwise. A reply that breaks
    // off is finished on the socket all the same (see JobResults/RemoteReply.h).
    bool getPage(int64_t seqNo, int64_t lineNumber, int64_t numLines, const CYuSocket* socket);

    // The longest wait for the program's next output line; after it the program is ended.
    static constexpr int kReplyWaitSeconds = 300;

private:
    // Fills the command record and starts the program; false when it runs.
    bool startProgram(KRSession& session, int64_t seqNo, int64_t lineNumber, int64_t numLines);
    // Relays the program's reply; false when it came whole and the program served the page.
    bool relayReply(KRSession& session, int64_t seqNo, int64_t lineNumber, int64_t numLines, CYuSocket socket);

    uint32_t talCell_;
    int64_t jobId_;
    uint32_t fileType_;
    char* hostName_ = nullptr;  // owned
};
