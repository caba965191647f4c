#include "JobResults/TSRetrieveResults.h"

#include <poll.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "Platform/CYuSocket.h"
#include "tests/JobResults/PagingReplyText.h"
#include "tests/support/EventCapture.h"
#include "tests/support/SettingsFixture.h"
#include "tests/support/TempDir.h"

namespace {

// The retrieval program the session finds is a script that runs a helper command with the
// argument line appended.
class TSRetrieveTest : public ::testing::Test {
protected:
    void useProgram(const std::string& helperCommand) {
        const std::string program = programs_.file("KRRetrieveResults");
        writeFileText(program, "#!/bin/sh\nexec " + std::string(VORNICA_TEST_HELPER) + " " + helperCommand + " \"$@\"\n");
        chmod(program.c_str(), 0755);
        settings_.write("[Session]\nProgramDirectory=" + programs_.path() + "\n");
    }

    SettingsFixture settings_;
    TempDir programs_;
};

TEST_F(TSRetrieveTest, ArgumentLineCarriesTheRequestAndAReplyWithoutContentIsStillFinished) {
    struct Case {
        unsigned long talCell;
        int64_t jobId;
        ResultsFile kind;
        int64_t seqNo, lineNumber, numLines;
        const char* argumentLine;
    } cases[] = {
        {2, 1234, kResultsBackup, 7, 101, 50, "2 1234 1 7 101 50"},
        {2, 1234, kRestoreFailed, 7, -1, 50, "2 1234 9 7 -1 50"},
        {4294967295UL, -1, kResultsRestore, INT64_MIN, INT64_MAX, 0,
         "4294967295 18446744073709551615 2 -9223372036854775808 9223372036854775807 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argumentLine);
        const std::string argsFile = programs_.file("args");
        useProgram("paging_program_args " + argsFile);
        char host[] = "localhost";
        TSRetrieveResults remote(c.talCell, c.jobId, c.kind, host);
        SocketPair pair;
        const CYuSocket socket(pair.fds[0]);
        EXPECT_TRUE(remote.getPage(c.seqNo, c.lineNumber, c.numLines, &socket));
        EXPECT_EQ(readFileText(argsFile), c.argumentLine);
        // The program ended without a reply: the caller still gets a whole one.
        EXPECT_EQ(pageReplyText(pair.fds[1]), "seq=" + std::to_string(c.seqNo) + " 4140=0 4141=" +
                                                  std::to_string(c.numLines) + " 4142=" + std::to_string(c.lineNumber) +
                                                  " 4147=0 end=7");
    }
}

TEST_F(TSRetrieveTest, ReplyBrokenOffAfterALineIsFinishedWithTheLastLineRelayed) {
    useProgram("paging_program_partial 77");
    char host[] = "localhost";
    TSRetrieveResults remote(2, 1234, kResultsBackup, host);
    SocketPair pair;
    const CYuSocket socket(pair.fds[0]);
    EXPECT_TRUE(remote.getPage(77, 1, 10, &socket));
    EXPECT_EQ(pageReplyText(pair.fds[1]), "seq=77 4140=3 4141=10 4142=1 4148:first 4147=1 end=7");
}

TEST_F(TSRetrieveTest, FailuresAreLoggedAndSendNothing) {
    useProgram("paging_program_args " + programs_.file("args"));
    struct Case {
        const char* host;
        const char* logged;
    } cases[] = {
        {nullptr, "getPage: no host name"},
        {"-bad host", "KRSession to -bad host failed with code 22="},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logged);
        EventCapture capture;
        std::string host = c.host != nullptr ? c.host : "";
        TSRetrieveResults remote(2, 1234, kResultsBackup, c.host != nullptr ? host.data() : nullptr);
        SocketPair pair;
        const CYuSocket socket(pair.fds[0]);
        EXPECT_TRUE(remote.getPage(7, 101, 50));
        EXPECT_TRUE(remote.getPage(7, 101, 50, &socket));
        EXPECT_EQ(capture.debugLinesWith(c.logged), 2u);
        pollfd readable{pair.fds[1], POLLIN, 0};
        EXPECT_EQ(poll(&readable, 1, 0), 0);
    }
    EXPECT_FALSE(fileExists(programs_.file("args")));
}

}  // namespace
