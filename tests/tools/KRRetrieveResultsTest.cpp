// Remote page requests: TSRetrieveResults starts the retrieval program through a session and
// relays its reply; the program KRRetrieveResults serves the page.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>

#include <gtest/gtest.h>

#include "JobResults/RemoteReply.h"
#include "JobResults/TSRetrieveResults.h"
#include "Platform/EvReturnData.h"
#include "Platform/KRSession.h"
#include "tests/JobResults/PagingFixture.h"
#include "tests/JobResults/PagingReplyText.h"
#include "tests/support/EventCapture.h"
#include "tests/support/ProcessTable.h"

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
        return fetchPage(forwarder, lineNumber, numLines, &failed, seqNo).text;
    }

    // A page reply as the program writes it (message type 1084, sequence 77, header fields 3,
    // 10, 1): up to its lines, or (whole) with 4147 and the end frame too.
    std::string replyStream(const std::vector<std::string>& lines, bool whole) {
        const std::string path = settings.dir().file("stream");
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        {
            EvReturnData reply(1084, 77, CYuSocket(fd), true);
            const int64_t header[] = {3, 10, 1}, lastLine = static_cast<int64_t>(lines.size());
            for (int i = 0; i < 3; ++i) reply.add(4140 + i, &header[i], 8);
            for (const std::string& line : lines) reply.add(4148, line.data(), line.size());
            if (whole) {
                reply.add(4147, &lastLine, 8);
                reply.end(0);
            } else {
                reply.dumpBuffer(9);
            }
        }
        close(fd);
        return readFileText(path);
    }
    // The stream as the program's output lines.
    static std::string replyLines(const std::string& stream) {
        std::string text;
        const auto* bytes = reinterpret_cast<const unsigned char*>(stream.data());
        for (size_t at = 0; at < stream.size(); at += RemoteReply::kBytesPerLine)
            text += RemoteReply::encodeLine(bytes + at, std::min(RemoteReply::kBytesPerLine, stream.size() - at)) + "\n";
        return text;
    }

    std::string programDir_ = VORNICA_TOOLS_DIR;
};

TEST_F(KRRetrieveResultsTest, RemotePageIsTheLocalPage) {
    makeJobFile(1234, kResultsBackup, "one\r\ntwo\r\nthree\r\n");
    const struct {
        int64_t lineNumber, numLines; bool fails; const char* lines;
    } cases[] = {{2, 2, false, "4148:two 4148:three 4147=3"}, {9, 5, true, "4147=0"}};
    for (const auto& c : cases) {
        RetrieveResults reader(2, 1234, kResultsBackup, nullptr);
        bool failed = false, relayFailed = false;
        const std::string local = fetchPage(reader, c.lineNumber, c.numLines, &failed, 5).text;
        const std::string served = relayed("localhost", 5, c.lineNumber, c.numLines, relayFailed);
        EXPECT_EQ(std::make_pair(failed, relayFailed), std::make_pair(c.fails, c.fails));
        EXPECT_EQ(served, local);
        EXPECT_NE(served.find(c.lines), std::string::npos) << served;
    }
}

TEST_F(KRRetrieveResultsTest, ArgumentLineCarriesTheRequest) {
    useScript("echo \"$*\" > " + settings.dir().file("args") + "\n");
    const struct {
        int64_t jobId; ResultsFile kind; int64_t seqNo, lineNumber; const char* argumentLine;
    } cases[] = {{1234, kResultsBackup, 7, 101, "2 1234 1 7 101 50"},
                 {1234, kRestoreFailed, 7, -1, "2 1234 9 7 -1 50"},
                 {-1, kResultsRestore, INT64_MIN, INT64_MAX,
                  "2 18446744073709551615 2 -9223372036854775808 9223372036854775807 50"}};
    for (const auto& c : cases) {
        bool failed = false;
        // Without a reply the caller still gets a whole one.
        EXPECT_EQ(relayed("localhost", c.seqNo, c.lineNumber, 50, failed, c.jobId, c.kind),
                  "seq=" + std::to_string(c.seqNo) + " 4140=0 4141=50 4142=" + std::to_string(c.lineNumber) +
                      " 4147=0 end=7");
        EXPECT_TRUE(failed);
        EXPECT_EQ(readFileText(settings.dir().file("args")), std::string(c.argumentLine) + "\n");
    }
}

// Each row: the program writes the reply up to its first line ("first"), then what the row
// says, then (tail) the rest of the reply, then ends as the row says. A stream that breaks off or
// carries a malformed reply line is finished as broken (the last line relayed, end code 7) and the
// program is ended; lines without the prefix are ignored; a program that lingers after a whole
// reply does not turn it into a failure.
TEST_F(KRRetrieveResultsTest, ReplyIsRelayedWholeOrFinishedAsBroken) {
    const std::string head = replyStream({"first"}, false), whole = replyStream({"first"}, true);
    writeFileText(settings.dir().file("head"), replyLines(head));
    writeFileText(settings.dir().file("tail"), replyLines(whole.substr(head.size())));
    const std::string broken = "seq=77 4140=3 4141=10 4142=1 4148:first 4147=1 end=7";
    const std::string linger = "exec sleep 600";
    const struct {
        const char* between; bool tail; std::string after; const char* relayed; bool failed, lingers;
    } cases[] = {
        {"echo noise", true, linger, "seq=77 4140=3 4141=10 4142=1 4148:first 4147=1 end=0", false, true},
        {"", false, "exit 1", broken.c_str(), true, false},
        {"echo 'VNRD zz'", true, linger, broken.c_str(), true, false},
        {"echo 'VNRD abc'", true, linger, broken.c_str(), true, false},
        {"printf 'note: '; echo 'VNRD 00'", true, linger, broken.c_str(), true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.between);
        useScript("echo $$ > " + settings.dir().file("pid") + "\ncat " + settings.dir().file("head") + "\n" +
                  c.between + "\n" + (c.tail ? "cat " + settings.dir().file("tail") : "") + "\n" + c.after + "\n");
        bool failed = false;
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(relayed("localhost", 77, 1, 10, failed), c.relayed);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
        EXPECT_EQ(failed, c.failed);
        const long pid = std::stol(readFileText(settings.dir().file("pid")));
        EXPECT_EQ(processState(pid) != '\0', c.lingers) << "only a program that sent a whole reply is left to finish";
        kill(static_cast<pid_t>(pid), SIGKILL);
    }
}

// A caller that stops reading cannot hold the relay, nor the program whose output nobody reads.
TEST_F(KRRetrieveResultsTest, GivesUpOnACallerThatStopsReading) {
    writeFileText(settings.dir().file("reply"),
                  replyLines(replyStream(std::vector<std::string>(1000, std::string(1000, 'z')), true)));
    useScript("echo $$ > " + settings.dir().file("pid") + "\ncat " + settings.dir().file("reply") + "\nexec sleep 600\n");
    EventCapture events;
    char host[] = "localhost";
    TSRetrieveResults forwarder(2, 1234, kResultsBackup, host);
    forwarder.setSendTimeout(300);
    SocketPair pair;
    const CYuSocket socket(pair.fds[0]);
    auto served = std::async(std::launch::async, [&] { return forwarder.getPage(77, 1, 1000, &socket); });
    const bool finished = served.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    if (!finished) shutdown(pair.fds[1], SHUT_RDWR);  // lets a stuck relay go
    ASSERT_TRUE(finished) << "the relay waits for ever on a caller that takes in nothing";
    EXPECT_TRUE(served.get());
    EXPECT_EQ(events.debugLinesWith("cannot be relayed"), 1u);
    EXPECT_EQ(processState(std::stol(readFileText(settings.dir().file("pid")))), '\0') << "the program was ended";
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
                             "2 1234 4294967296 7 101 50", "4294967296 1234 1 7 101 50",
                             "4294967298 1234 1 7 101 50"}) {
        SCOPED_TRACE(line);
        krsExecuteRemoteCommandType command{};
        strcpy(command.programName, TSRetrieveResults::kProgramName);
        strcpy(command.argumentLine, line);
        KRSession session;
        ASSERT_EQ(session.dataAgentAttach(&command, "localhost", 1), 1);
        unsigned long type = 0, code = 0;
        krsDatabuf buffer;
        ASSERT_EQ(session.receiveMessage(&type, &code, &buffer, 20, nullptr), 1);
        EXPECT_EQ(std::make_pair(type, code), std::make_pair(KRS_MSG_PEER_END, 2ul)) << "no line came first, end code 2";
        session.freeReceivedMessage(type, &buffer);
    }
}

// The retrieval program's exit code tells the session whether the page was served: a page that
// fails (here: the job has no results directory) is never reported as served.
TEST_F(KRRetrieveResultsTest, APageThatFailsEndsWithExitCodeOne) {
    const int status = std::system(VORNICA_TOOLS_DIR "/KRRetrieveResults 2 1234 1 7 1 5 >/dev/null 2>&1");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
}

}  // namespace
