#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <filesystem>

#include "Indexing/icommon/JobControlHelpers.h"
#include "tests/support/EventCapture.h"
#include "tests/support/SettingsFixture.h"

namespace {
const std::string kHelper = VORNICA_TEST_HELPER;
using Lines = std::vector<std::string>;
using Types = std::vector<unsigned long>;

struct JobControlHelpers : ::testing::Test {
    // idxDisconnect's lines, and the list its discards of types should give.
    Lines disconnectLines() const {
        Lines out;
        for (const JournalRecord& r : capture.ofKind("debug"))
            if (r.function == "::idxDisconnect") out.push_back(r.message);
        return out;
    }
    static Lines discarded(const Types& types) {
        Lines out;
        char text[64];
        for (unsigned long type : types) out.push_back((snprintf(text, sizeof text, "Discarded message: msgType = %lx", type), text));
        return out;
    }
    static bool journalOpen() {
        for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code error;
            if (std::filesystem::read_symlink(fd.path(), error) == EventJournal::journalPath()) return true;
        }
        return false;
    }
    static int attach(KRSession& session, const std::string& arguments) {
        krsExecuteRemoteCommandType record{};
        std::strncpy(record.programName, kHelper.substr(kHelper.rfind('/') + 1).c_str(), 256);
        std::strncpy(record.argumentLine, arguments.c_str(), 258);
        return session.dataAgentAttach(&record, "localhost", 2);
    }

    SettingsFixture settings{"[Platform\\4]\nTalServerHostName=central.example\n[Session]\nProgramDirectory=" +
                             kHelper.substr(0, kHelper.rfind('/')) + "\n"};
    EventCapture capture;
};
}  // namespace

TEST_F(JobControlHelpers, PendingCauseGoesThroughAJobClientOfTheCentralServer) {
    for (auto [platformType, messageType] : {std::pair{2, 150}, {1, 300}, {4, 300}}) {
        capture.clear();
        EXPECT_TRUE(NoParamSetPendingCause(77, platformType, 0xE00007B));
        std::vector<JournalRecord> records = capture.ofKind("jobcontrol");
        ASSERT_EQ(records.size(), 2u);
        EXPECT_EQ(records[0].args, (std::vector{JournalArg::ofText("central.example"), JournalArg::ofSigned(platformType)}));
        EXPECT_EQ(records[1].jobId, 77);
        std::vector<JournalArg> expected(11, JournalArg::ofSigned(0));  // cause, message type, then zeros
        expected[0] = JournalArg::ofSigned(0xE00007B);
        expected[1] = JournalArg::ofSigned(messageType);
        EXPECT_EQ(records[1].args, expected) << platformType;
    }
    capture.clear();
    setPendingCause(nullptr, 5, 150);
    EXPECT_FALSE(NoParamSetPendingCause(0, 2, 5)) << "the service refuses job 0";
    EXPECT_TRUE(capture.ofKind("jobcontrol").empty());
    EXPECT_EQ(capture.debugMessages().front(), "setPendingCause: no job client - pending cause 0x5 not set");
}

TEST_F(JobControlHelpers, DisconnectWaitingForTheEndStopsAtIt) {
    KRSession session;
    for (unsigned long type : {0x1UL, 0x2aUL, KRS_MSG_PEER_END, 0x3UL}) ASSERT_EQ(session.postMessage(type, 0, "x", 1), 1);
    idxDisconnect(session, true, false);
    EXPECT_EQ(disconnectLines(), discarded({0x1, 0x2a}));
    unsigned long type = 0;
    krsDatabuf buffer;
    int received = 0;
    ASSERT_EQ(session.receiveMessage(&type, nullptr, &buffer, 0, &received), 1);
    EXPECT_EQ(type * received, 0x3u) << "what follows the end stays queued";
    session.freeReceivedMessage(type, &buffer);

    // A real program: its lines are discarded up to its end, and events are disconnected.
    capture.clear();
    ASSERT_EQ(attach(session, "session_raw a\\nb\\nc\\n"), 1);
    EXPECT_TRUE(journalOpen());
    idxDisconnect(session, true, true);
    EXPECT_EQ(disconnectLines(), discarded(Types(3, KRS_MSG_PEER_LINE)));
    EXPECT_FALSE(session.attached());
    EXPECT_FALSE(journalOpen());
}

TEST_F(JobControlHelpers, DisconnectWithoutWaitingDiscardsEverythingAndEndsTheProgram) {
    KRSession session;
    Types types = {0x101, 0x102, 0x103, 0x104, 0x105, 0x106, 0x107, 0x108, 0x109, 0x10a, 0x10b, KRS_MSG_PEER_END};
    for (unsigned long type : types) ASSERT_EQ(session.postMessage(type, 0, nullptr, 0), 1);
    idxDisconnect(session, false, false);
    Lines expected = discarded(Types(types.begin(), types.begin() + 10));
    expected.push_back("Discarded 12 messages");
    EXPECT_EQ(disconnectLines(), expected) << "only the first 10 are listed";
    EXPECT_TRUE(journalOpen());

    // Exactly 10 (9 queued and the program's "ready") are listed without a count, and the
    // program, which would sleep on, is ended.
    capture.clear();
    types.assign(9, 0x55);
    for (unsigned long type : types) ASSERT_EQ(session.postMessage(type, 0, nullptr, 0), 1);
    ASSERT_EQ(attach(session, "session_sleep 60"), 1);
    long pid = session.peerProcessId();
    idxDisconnect(session, false, false);
    types.push_back(KRS_MSG_PEER_LINE);
    EXPECT_EQ(disconnectLines(), discarded(types));
    EXPECT_TRUE(kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) << "the program is gone and reaped";
}
