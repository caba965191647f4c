#include "Platform/KRSession.h"

#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Platform/PlatformEnv.h"
#include "tests/support/SettingsFixture.h"
#include "tests/support/TempDir.h"

namespace {

const std::string kHelper = VORNICA_TEST_HELPER;
const std::string kHelperDir = kHelper.substr(0, kHelper.rfind('/'));
const std::string kHelperName = kHelper.substr(kHelper.rfind('/') + 1);

krsExecuteRemoteCommandType command(const std::string& program, const std::string& arguments) {
    krsExecuteRemoteCommandType record;
    std::memset(&record, 0, sizeof record);
    std::strncpy(record.programName, program.c_str(), sizeof record.programName - 1);
    std::strncpy(record.argumentLine, arguments.c_str(), sizeof record.argumentLine - 1);
    return record;
}

struct Received {
    unsigned long type = 0;
    unsigned long secondWord = 0;
    std::string data;
};

// Receives with session-allocated buffers until the peer's end message or a receive without
// a message.
std::vector<Received> receiveUntilEnd(KRSession& session, int timeoutSeconds = 20) {
    std::vector<Received> all;
    while (true) {
        Received message;
        krsDatabuf buffer;
        int received = -1;
        if (session.receiveMessage(&message.type, &message.secondWord, &buffer, timeoutSeconds, &received) != 1) {
            ADD_FAILURE() << "receiveMessage failed";
            break;
        }
        if (received == 0) break;
        message.data.assign(buffer.data, buffer.length);
        session.freeReceivedMessage(message.type, &buffer);
        all.push_back(message);
        if (message.type == KRS_MSG_PEER_END) break;
    }
    return all;
}

// The text of the next message, which must be a line.
std::string receiveLine(KRSession& session) {
    unsigned long type = 0;
    krsDatabuf buffer;
    int received = 0;
    if (session.receiveMessage(&type, nullptr, &buffer, 20, &received) != 1 || received != 1) return "(none)";
    std::string text = type == KRS_MSG_PEER_LINE ? std::string(buffer.data, buffer.length) : "(other)";
    session.freeReceivedMessage(type, &buffer);
    return text;
}

std::vector<std::string> lineTexts(const std::vector<Received>& messages) {
    std::vector<std::string> lines;
    for (const Received& m : messages)
        if (m.type == KRS_MSG_PEER_LINE) lines.push_back(m.data);
    return lines;
}

std::string lastErrorText(KRSession& session, unsigned long* code = nullptr) {
    unsigned long ignored = 0;
    char* text = nullptr;
    session.getLastError(code != nullptr ? code : &ignored, &text);
    return text != nullptr ? text : "";
}

char processState(long pid) {
    std::string stat = readFileText("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? '\0' : stat[close + 2];
}

class KRSessionTest : public ::testing::Test {
protected:
    KRSessionTest() { useSettings(""); }
    void useSettings(const std::string& extra) {
        settings_.write("[Session]\nProgramDirectory=" + kHelperDir + "\nHostName=vornica-test-node\n" + extra);
    }
    int attach(KRSession& session, const std::string& arguments, const std::string& host = "localhost") {
        krsExecuteRemoteCommandType record = command(kHelperName + ".exe", arguments);
        return session.dataAgentAttach(&record, host.c_str(), 1);
    }

    SettingsFixture settings_;
};

TEST_F(KRSessionTest, LocalProgramGivesItsLinesThenItsEndWithTheExitCode) {
    KRSession session;
    ASSERT_EQ(attach(session, "session_lines 3 7"), 1) << lastErrorText(session);
    EXPECT_TRUE(session.attached());

    std::vector<Received> messages = receiveUntilEnd(session);
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(lineTexts(messages), (std::vector<std::string>{"line 1", "line 2", "line 3"}));
    EXPECT_EQ(messages[0].secondWord, 0ul);
    EXPECT_EQ(messages[3].type, KRS_MSG_PEER_END);
    EXPECT_EQ(messages[3].secondWord, 7ul);
    EXPECT_FALSE(session.attached());
    EXPECT_EQ(session.completeSession(), 1);

    // A finished session takes the next program.
    ASSERT_EQ(attach(session, "session_die 9"), 1) << lastErrorText(session);
    messages = receiveUntilEnd(session);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].type, KRS_MSG_PEER_END);
    EXPECT_EQ(messages[0].secondWord, 128ul + 9);
}

TEST_F(KRSessionTest, OutputIsCutIntoLinesWithoutLosingAnything) {
    KRSession session;
    ASSERT_EQ(attach(session, "session_raw one\\r\\ntwo\\n\\nthree"), 1) << lastErrorText(session);
    EXPECT_EQ(lineTexts(receiveUntilEnd(session)), (std::vector<std::string>{"one", "two", "", "three"}));

    const size_t longLine = KRSession::kMaxLineBytes + 10;
    ASSERT_EQ(attach(session, "session_long " + std::to_string(longLine)), 1) << lastErrorText(session);
    std::vector<std::string> pieces = lineTexts(receiveUntilEnd(session));
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].size(), KRSession::kMaxLineBytes);
    EXPECT_EQ(pieces[1], std::string(10, 'x'));
}

TEST_F(KRSessionTest, ThisMachineRunsLocallyUnderItsNames) {
    useSettings("RemoteShell=" + kHelper + " fake_shell\n");
    std::string upperMachine = PlatformEnv::machineName();
    std::transform(upperMachine.begin(), upperMachine.end(), upperMachine.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    for (const std::string& host : {std::string("LocalHost"), upperMachine, std::string("VORNICA-TEST-NODE.example.org")}) {
        KRSession session;
        ASSERT_EQ(attach(session, "session_argv x", host), 1) << host << ": " << lastErrorText(session);
        EXPECT_EQ(lineTexts(receiveUntilEnd(session)), (std::vector<std::string>{"[x]"})) << host;
    }
}

TEST_F(KRSessionTest, OtherHostRunsThroughTheRemoteShellWithArgumentsIntact) {
    useSettings("RemoteShell=" + kHelper + " fake_shell  -o BatchMode=yes\n");
    KRSession session;
    ASSERT_EQ(attach(session, "session_argv a;b  $HOME 'q' * `id`", "far.example.net"), 1) << lastErrorText(session);
    std::vector<Received> messages = receiveUntilEnd(session);
    EXPECT_EQ(lineTexts(messages), (std::vector<std::string>{"option=BatchMode=yes", "host=far.example.net", "[a;b]",
                                                             "[$HOME]", "['q']", "[*]", "[`id`]"}));
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back().type, KRS_MSG_PEER_END);
    EXPECT_EQ(messages.back().secondWord, 0ul);
}

TEST_F(KRSessionTest, FailuresKeepACodeAndAText) {
    KRSession session;
    unsigned long code = 0;
    EXPECT_EQ(lastErrorText(session, &code), "");
    EXPECT_EQ(code, 0ul);

    krsExecuteRemoteCommandType missing = command("no-such-program.exe", "a b");
    EXPECT_NE(session.dataAgentAttach(&missing, "localhost", 1), 1);
    std::string text = lastErrorText(session, &code);
    EXPECT_EQ(code, static_cast<unsigned long>(ENOENT));
    EXPECT_NE(text.find("'no-such-program' not found in ProgramDirectory " + kHelperDir), std::string::npos) << text;
    EXPECT_FALSE(session.attached());

    useSettings("RemoteShell=/nonexistent/ssh\n");
    krsExecuteRemoteCommandType good = command(kHelperName, "session_argv");
    EXPECT_NE(session.dataAgentAttach(&good, "far.example.net", 1), 1);
    EXPECT_NE(lastErrorText(session, &code).find("remote shell '/nonexistent/ssh' not found"), std::string::npos);
    EXPECT_EQ(code, static_cast<unsigned long>(ENOENT));

    // Requests that must not reach a shell or the program directory's parent.
    krsExecuteRemoteCommandType escaping = command("../bin/sh", "");
    krsExecuteRemoteCommandType unterminated = command(kHelperName, "");
    std::memset(unterminated.programName, 'p', sizeof unterminated.programName);
    struct Case {
        krsExecuteRemoteCommandType* record;
        const char* host;
    } cases[] = {{nullptr, "localhost"},   {&good, nullptr}, {&good, ""}, {&good, "-oProxyCommand=touch"},
                 {&good, "far host"},       {&escaping, "localhost"}, {&unterminated, "localhost"}};
    for (const Case& c : cases) {
        EXPECT_NE(session.dataAgentAttach(c.record, c.host, 1), 1) << (c.host ? c.host : "(null)");
        lastErrorText(session, &code);
        EXPECT_EQ(code, static_cast<unsigned long>(EINVAL)) << (c.host ? c.host : "(null)");
    }
    EXPECT_FALSE(session.attached());
}

TEST_F(KRSessionTest, OneProgramAtATime) {
    KRSession session;
    ASSERT_EQ(attach(session, "session_sleep 30"), 1) << lastErrorText(session);
    long first = session.peerProcessId();
    unsigned long code = 0;
    EXPECT_NE(attach(session, "session_lines 1 0"), 1);
    lastErrorText(session, &code);
    EXPECT_EQ(code, static_cast<unsigned long>(EISCONN));
    EXPECT_EQ(session.peerProcessId(), first);
    EXPECT_EQ(session.abortSession(), 1);
    EXPECT_EQ(attach(session, "session_lines 1 0"), 1) << lastErrorText(session);
}

TEST_F(KRSessionTest, PostedMessagesComeInOrderAndAnEmptyQueueTimesOut) {
    KRSession session;
    const char binary[] = {'a', '\0', 'b'};
    ASSERT_EQ(session.postMessage(0x100, 1, "first", 5), 1);
    ASSERT_EQ(session.postMessage(0x200, 2, binary, sizeof binary), 1);
    ASSERT_EQ(session.postMessage(0x300, 3, nullptr, 0), 1);
    EXPECT_NE(session.postMessage(0x400, 4, nullptr, 3), 1);

    std::vector<Received> messages = receiveUntilEnd(session, 0);
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].type, 0x100ul);
    EXPECT_EQ(messages[0].secondWord, 1ul);
    EXPECT_EQ(messages[0].data, "first");
    EXPECT_EQ(messages[1].data, std::string(binary, sizeof binary));
    EXPECT_EQ(messages[2].type, 0x300ul);
    EXPECT_EQ(messages[2].data, "");

    unsigned long type = 7;
    krsDatabuf buffer;
    int received = -1;
    EXPECT_EQ(session.receiveMessage(&type, nullptr, &buffer, 1, &received), 1);
    EXPECT_EQ(received, 0);
    EXPECT_EQ(buffer.data, nullptr);
}

TEST_F(KRSessionTest, SilentProgramTimesOutThenAbortReapsIt) {
    KRSession session;
    ASSERT_EQ(attach(session, "session_sleep 30"), 1) << lastErrorText(session);
    long pid = session.peerProcessId();
    std::vector<Received> messages = receiveUntilEnd(session, 1);
    EXPECT_EQ(lineTexts(messages), (std::vector<std::string>{"ready"}));
    EXPECT_TRUE(session.attached());

    ASSERT_EQ(session.postMessage(0x55, 0, nullptr, 0), 1);
    EXPECT_EQ(session.abortSession(), 1);
    EXPECT_FALSE(session.attached());
    EXPECT_EQ(processState(pid), '\0') << "the program is still there";
    // Aborting also dropped what was queued.
    unsigned long type = 0;
    krsDatabuf buffer;
    int received = -1;
    EXPECT_EQ(session.receiveMessage(&type, nullptr, &buffer, 0, &received), 1);
    EXPECT_EQ(received, 0);
}

TEST_F(KRSessionTest, AbortEndsAProgramThatIgnoresTerminate) {
    KRSession session;
    ASSERT_EQ(attach(session, "session_sleep 30 ignore-term"), 1) << lastErrorText(session);
    long pid = session.peerProcessId();
    EXPECT_EQ(receiveLine(session), "ready");
    EXPECT_EQ(session.abortSession(), 1);
    EXPECT_EQ(processState(pid), '\0');
}

TEST_F(KRSessionTest, CompleteWaitsForTheProgramWithinItsLimit) {
    KRSession session;
    ASSERT_EQ(attach(session, "session_sleep 30"), 1) << lastErrorText(session);
    unsigned long code = 0;
    EXPECT_NE(session.completeSession(0), 1);
    lastErrorText(session, &code);
    EXPECT_EQ(code, static_cast<unsigned long>(ETIMEDOUT));
    EXPECT_TRUE(session.attached());
    long pid = session.peerProcessId();
    kill(static_cast<pid_t>(pid), SIGKILL);
    EXPECT_EQ(session.completeSession(), 1);
    EXPECT_FALSE(session.attached());
    EXPECT_EQ(processState(pid), '\0');
}

TEST_F(KRSessionTest, DestroyedSessionLeavesItsProgramRunningAndReapsItLater) {
    long pid = 0;
    {
        KRSession session;
        ASSERT_EQ(attach(session, "session_sleep 30"), 1) << lastErrorText(session);
        pid = session.peerProcessId();
        EXPECT_EQ(receiveLine(session), "ready");
    }
    char state = processState(pid);
    EXPECT_TRUE(state == 'S' || state == 'R') << state;
    kill(static_cast<pid_t>(pid), SIGKILL);
    for (int i = 0; i < 500 && processState(pid) != 'Z'; ++i) usleep(10000);
    EXPECT_EQ(processState(pid), 'Z');
    KRSession later;  // collects what earlier sessions left behind
    EXPECT_EQ(processState(pid), '\0');
}

TEST_F(KRSessionTest, CallerBufferReportsWhatDidNotFit) {
    KRSession session;
    ASSERT_EQ(session.postMessage(1, 0, "0123456789", 10), 1);
    ASSERT_EQ(session.postMessage(2, 0, "abc", 3), 1);

    char storage[8];
    krsDatabuf buffer;
    buffer.data = storage;
    buffer.capacity = sizeof storage;
    unsigned long type = 0;
    int received = 0;
    ASSERT_EQ(session.receiveMessage(&type, nullptr, &buffer, 0, &received), 1);
    ASSERT_EQ(received, 1);
    EXPECT_EQ(buffer.length, 8ul);
    EXPECT_EQ(buffer.fullLength, 10ul);
    EXPECT_EQ(buffer.truncated, 1);
    EXPECT_EQ(std::string(storage, 8), "01234567");
    session.freeReceivedMessage(type, &buffer);
    EXPECT_EQ(buffer.data, storage);

    ASSERT_EQ(session.receiveMessage(&type, nullptr, &buffer, 0, &received), 1);
    EXPECT_EQ(buffer.length, 3ul);
    EXPECT_EQ(buffer.truncated, 0);
    EXPECT_STREQ(storage, "abc");

    // A buffer without capacity or no buffer at all is refused and the message stays queued.
    ASSERT_EQ(session.postMessage(3, 0, "kept", 4), 1);
    krsDatabuf noRoom;
    noRoom.data = storage;
    unsigned long code = 0;
    EXPECT_NE(session.receiveMessage(&type, nullptr, &noRoom, 0, &received), 1);
    EXPECT_EQ(received, 0);
    EXPECT_NE(session.receiveMessage(&type, nullptr, nullptr, 0, &received), 1);
    lastErrorText(session, &code);
    EXPECT_EQ(code, static_cast<unsigned long>(EINVAL));
    std::vector<Received> rest = receiveUntilEnd(session, 0);
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].data, "kept");
}

}  // namespace
