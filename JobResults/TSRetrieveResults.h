// Forwards a page request to the machine that holds a job's results: runs the retrieval
// program KRRetrieveResults there through a session, with the whole request on its argument
// line "talCell jobId kind seqNo lineNumber numLines".
#pragma once
#include <cstdint>

#include "Indexing/icommon/TDebuggable.h"
#include "JobResults/ResultsFile.h"
#include "JobResults/RetrieveResults.h"
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
    // reply was relayed and its end code tells the page was served, true otherwise. A reply
    // that breaks off (the program ends early, a malformed line, a caller that stops reading)
    // is finished on the socket all the same (see JobResults/RemoteReply.h), and a program
    // that still runs then is ended.
    bool getPage(int64_t seqNo, int64_t lineNumber, int64_t numLines, const CYuSocket* socket);

    // The longest wait for the program's next output line; after it the program is ended.
    static constexpr int kReplyWaitSeconds = 300;
    // How long the program may take to end once its whole reply was relayed; it is then left
    // to finish without being waited for.
    static constexpr int kEndWaitSeconds = 2;
    // How long a relayed reply waits for a caller that takes in nothing (milliseconds, > 0);
    // then the session is ended and the page fails. RetrieveResults::kSendTimeoutMs by default.
    void setSendTimeout(int milliseconds);

private:
    // Fills the command record and starts the program; false when it runs.
    bool startProgram(KRSession& session, int64_t seqNo, int64_t lineNumber, int64_t numLines);
    // Relays the program's reply; false when it came whole and the program served the page.
    bool relayReply(KRSession& session, int64_t seqNo, int64_t lineNumber, int64_t numLines, CYuSocket socket);

    uint32_t talCell_;
    int64_t jobId_;
    uint32_t fileType_;
    char* hostName_ = nullptr;  // owned
    int sendTimeoutMs_ = RetrieveResults::kSendTimeoutMs;
};
