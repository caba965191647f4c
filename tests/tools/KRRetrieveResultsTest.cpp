// The retrieval program, reached through a session as a remote page request reaches it.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "JobResults/TSRetrieveResults.h"
#include "Platform/KRSession.h"
#include "tests/JobResults/PagingFixture.h"
#include "tests/JobResults/PagingReplyText.h"

namespace {

class KRRetrieveResultsTest : public PagingFixture {
protected:
    std::string extraSettings() const override {
        return "[Session]\nProgramDirectory=" + std::string(VORNICA_TOOLS_DIR) + "\n";
    }
};

TEST_F(KRRetrieveResultsTest, RemotePageIsTheLocalPage) {
    makeJobFile(1234, kResultsBackup, "one\r\ntwo\r\nthree\r\n");
    struct Case {
        int64_t lineNumber, numLines;
        bool fails;
        const char* lines;
    } cases[] = {
        {2, 2, false, "4148:two 4148:three 4147=3"},
        {1, 10, false, "4148:one 4148:two 4148:three 4147=3"},
        {9, 5, true, "4147=0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lineNumber);
        SocketPair local, remote;
        const CYuSocket localSocket(local.fds[0]), remoteSocket(remote.fds[0]);
        RetrieveResults reader(2, 1234, kResultsBackup, nullptr);
        EXPECT_EQ(reader.getPage(5, c.lineNumber, c.numLines, &localSocket), c.fails);
        char host[] = "localhost";
        TSRetrieveResults forwarder(2, 1234, kResultsBackup, host);
        EXPECT_EQ(forwarder.getPage(5, c.lineNumber, c.numLines, &remoteSocket), c.fails);
        const std::string served = pageReplyText(remote.fds[1]);
        EXPECT_EQ(served, pageReplyText(local.fds[1]));
        EXPECT_NE(served.find(c.lines), std::string::npos) << served;
    }
}

TEST_F(KRRetrieveResultsTest, ArgumentLinesThatAreNotSixNumbersAreRefusedWithoutAReply) {
    for (const char* line : {"", "2 1234 1 7 101", "2 1234 1 7 101 50 9", "2 x 1 7 101 50", "-2 1234 1 7 101 50",
                             "2 1234 1 7 1e3 50", "2 1234 1 7 +5 50", "2 99999999999999999999 1 7 101 50",
                             "2 1234 4294967296 7 101 50"}) {
        SCOPED_TRACE(line);
        krsExecuteRemoteCommandType command{};
        strcpy(command.programName, TSRetrieveResults::kProgramName);
        strcpy(command.argumentLine, line);
        KRSession session;
        ASSERT_EQ(session.dataAgentAttach(&command, "localhost", 1), 1);
        std::string lines;
        unsigned long type = 0, code = 0;
        do {
            krsDatabuf buffer;
            int received = 0;
            ASSERT_EQ(session.receiveMessage(&type, &code, &buffer, 20, &received), 1);
            ASSERT_EQ(received, 1);
            if (type == KRS_MSG_PEER_LINE) lines += std::string(buffer.data, buffer.length) + "\n";
            session.freeReceivedMessage(type, &buffer);
        } while (type != KRS_MSG_PEER_END);
        EXPECT_EQ(code, 2u);
        EXPECT_EQ(lines, "");
    }
}

}  // namespace
