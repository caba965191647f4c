// Remote page requests: TSRetrieveResults starts the retrieval program through a session and
// relays its reply; the program KRRetrieveResults serves the page.
#include <poll.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "JobResults/RemoteReply.h"
#include "JobResults/TSRetrieveResults.h"
#include "Platform/EvReturnData.h"
#include "Platform/KRSession.h"
#include "tests/JobResults/PagingFixture.h"
#include "tests/JobResults/PagingReplyText.h"
#include "tests/support/EventCapture.h"

namespace {

class KRRetrieveResultsTest : public PagingFixture {
protected:
    std::string extraSettings() const override { return "[Session]\nProgramDirectory=" + programDir_ + "\n"; }
    // The program the session finds is this shell script instead of the real one.
    void useScript(const std::string& body) {
        programDir_ = settings.dir().file("bin");
        std::filesystem::create_directories(programDir_);
        writeFileText(programDir_ + "/KRRetrieveResults", "#!/bin/sh\n" + body);
        chmod((programDir_ + "/KRRetrieveResults").c_str(), 0755);
        SetUp();
    }
    // The reply relayed for the request to the caller's socket; failed tells the result.
    std::string relayed(const char* host, int64_t seqNo, int64_t lineNumber, int64_t numLines, bool& failed,
                        int64_t jobId = 1234, ResultsFile kind = kResultsBackup) {
        std::string name = host != nullptr ? host : "";
        TSRetrieveResults forwarder(2, jobId, kind, host != nullptr ? name.data() : nullptr);
        SocketPair pair;
        const CYuSocket socket(pair.fds[0]);
        failed = forwarder.getPage(seqNo, lineNumber, numLines, &socket);
        pollfd readable{pair.fds[1], POLLIN, 0};
        return poll(&readable, 1, 0) == 1 ? pageReplyText(pair.fds[1]) : "nothing";
    }

    std::string programDir_ = VORNICA_TOOLS_DIR;
};

TEST_F(KRRetrieveResultsTest, RemotePageIsTheLocalPage) {
    makeJobFile(1234, kResultsBackup, "one\r\ntwo\r\nthree\r\n");
    struct Case {
        int64_t lineNumber, numLines;
        bool fails;
        const char* lines;
    } cases[] = {{2, 2, false, "4148:two 4148:three 4147=3"}, {9, 5, true, "4147=0"}};
    for (const Case& c : cases) {
        SocketPair local;
        const CYuSocket localSocket(local.fds[0]);
        RetrieveResults reader(2, 1234, kResultsBackup, nullptr);
        EXPECT_EQ(reader.getPage(5, c.lineNumber, c.numLines, &localSocket), c.fails);
        bool failed = false;
        const std::string served = relayed("localhost", 5, c.lineNumber, c.numLines, failed);
        EXPECT_EQ(failed, c.fails);
        EXPECT_EQ(served, pageReplyText(local.fds[1]));
        EXPECT_NE(served.find(c.lines), std::string::npos) << served;
    }
}

TEST_F(KRRetrieveResultsTest, ArgumentLineCarriesTheRequest) {
    useScript("echo \"$*\" > " + settings.dir().file("args") + "\n");
    struct Case {
        int64_t jobId;
        ResultsFile kind;
        int64_t seqNo, lineNumber;
        const char* argumentLine;
    } cases[] = {{1234, kResultsBackup, 7, 101, "2 1234 1 7 101 50"},
                 {1234, kRestoreFailed, 7, -1, "2 1234 9 7 -1 50"},
                 {-1, kResultsRestore, INT64_MIN, INT64_MAX,
                  "2 18446744073709551615 2 -9223372036854775808 9223372036854775807 50"}};
    for (const Case& c : cases) {
        bool failed = false;
        // Without a reply the caller still gets a whole one.
        EXPECT_EQ(relayed("localhost", c.seqNo, c.lineNumber, 50, failed, c.jobId, c.kind),
                  "seq=" + std::to_string(c.seqNo) + " 4140=0 4141=50 4142=" + std::to_string(c.lineNumber) +
                      " 4147=0 end=7");
        EXPECT_TRUE(failed);
        EXPECT_EQ(readFileText(settings.dir().file("args")), std::string(c.argumentLine) + "\n");
    }
}

TEST_F(KRRetrieveResultsTest, ReplyBrokenOffIsFinishedWithTheLastLineRelayed) {
    SocketPair pair;
    EvReturnData reply(1084, 77, CYuSocket(pair.fds[0]), true);
    const int64_t header[] = {3, 10, 1};
    for (int i = 0; i < 3; ++i) reply.add(4140 + i, &header[i], 8);
    reply.send(4148, "first", 5);
    std::string stream(200, '\0');
    stream.resize(static_cast<size_t>(read(pair.fds[1], stream.data(), stream.size())));
    const auto* bytes = reinterpret_cast<const unsigned char*>(stream.data());
    useScript("echo " + RemoteReply::encodeLine(bytes, 30) + "\necho noise\necho " +
              RemoteReply::encodeLine(bytes + 30, stream.size() - 30) + "\nexit 1\n");
    bool failed = false;
    EXPECT_EQ(relayed("localhost", 77, 1, 10, failed), "seq=77 4140=3 4141=10 4142=1 4148:first 4147=1 end=7");
    EXPECT_TRUE(failed);
}

TEST_F(KRRetrieveResultsTest, RequestsThatCannotStartSendNothing) {
    useScript("touch " + settings.dir().file("started") + "\n");
    for (const char* host : {static_cast<const char*>(nullptr), "-bad"}) {
        EventCapture capture;
        bool failed = false;
        EXPECT_EQ(relayed(host, 7, 101, 50, failed), "nothing");
        EXPECT_TRUE(failed);
        EXPECT_EQ(capture.debugLinesWith(host == nullptr ? "getPage: no host name" : "KRSession to -bad failed with code 22="),
                  1u);
    }
    EXPECT_FALSE(fileExists(settings.dir().file("started")));
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
        unsigned long type = 0, code = 0;
        krsDatabuf buffer;
        int received = 0;
        ASSERT_EQ(session.receiveMessage(&type, &code, &buffer, 20, &received), 1);
        EXPECT_EQ(type, KRS_MSG_PEER_END);  // no line came first
        EXPECT_EQ(code, 2u);
        session.freeReceivedMessage(type, &buffer);
    }
}

}  // namespace
