#include "Platform/KRSession.h"

#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <tuple>

#include <gtest/gtest.h>

#include "Platform/PlatformEnv.h"
#include "tests/support/ProcessTable.h"
#include "tests/support/SettingsFixture.h"

using namespace std::string_literals;

namespace {

const std::string kHelper = VORNICA_TEST_HELPER;
const std::string kHelperDir = kHelper.substr(0, kHelper.rfind('/'));
const std::string kHelperName = kHelper.substr(kHelper.rfind('/') + 1);

krsExecuteRemoteCommandType command(const std::string& program, const std::string& arguments) {
    krsExecuteRemoteCommandType record{};
    std::strncpy(record.programName, program.c_str(), sizeof record.programName - 1);
    std::strncpy(record.argumentLine, arguments.c_str(), sizeof record.argumentLine - 1);
    return record;
}

std::string lastErrorText(KRSession& session) {
    char* text = nullptr;
    session.getLastError(nullptr, &text);
    return text != nullptr ? text : "";
}

int lastCode(KRSession& session) {
    unsigned long code = 0;
    session.getLastError(&code, nullptr);
    return static_cast<int>(code);
}

// What the session delivers until the peer's end or a receive without a message: a line as its
// text and "\n", the end as "(end CODE)", any other message as "(TYPE SECOND-WORD)DATA\n".
std::string drain(KRSession& session, int timeoutSeconds = 20) {
    std::string out;
    while (true) {
        unsigned long type = 0, second = 0;
        krsDatabuf buffer;
        int received = 0;
        int rc = session.receiveMessage(&type, &second, &buffer, timeoutSeconds, &received);
        EXPECT_EQ(rc, 1) << lastErrorText(session);
        if (rc != 1 || received == 0) return out;
        std::string data(buffer.data, buffer.length);
        session.freeReceivedMessage(type, &buffer);
        if (type == KRS_MSG_PEER_END) return out + "(end " + std::to_string(second) + ")";
        bool line = type == KRS_MSG_PEER_LINE && second == 0;
        out += (line ? "" : "(" + std::to_string(type) + " " + std::to_string(second) + ")") + data + "\n";
    }
}

class KRSessionTest : public ::testing::Test {
protected:
    KRSessionTest() { useRemoteShell(kHelper + " fake_shell  -o BatchMode=yes"); }
    void useRemoteShell(const std::string& shell) {
        settings_.write("[Session]\nProgramDirectory=" + kHelperDir + "\nHostName=vornica-test-node.example.org\nRemoteShell=" +
                        shell + "\n");
    }
    int attach(KRSession& session, const std::string& arguments, const std::string& host = "localhost") {
        krsExecuteRemoteCommandType record = command(kHelperName + ".exe", arguments);
        return session.dataAgentAttach(&record, host.c_str(), 1);
    }

    SettingsFixture settings_;
};

TEST_F(KRSessionTest, ProgramsRunHereOrThroughTheRemoteShellAndGiveTheirLinesThenTheirEnd) {
    KRSession session;
    // Lines end in "\n" or "\r\n"; an empty line counts, and so does a last line without its end.
    ASSERT_EQ(attach(session, "session_raw one\\r\\ntwo\\n\\nthree 7"), 1) << lastErrorText(session);
    EXPECT_EQ(drain(session), "one\ntwo\n\nthree\n(end 7)");
    // A finished session takes the next program.
    ASSERT_EQ(attach(session, "session_long " + std::to_string(KRSession::kMaxLineBytes + 10)), 1);
    std::string x(KRSession::kMaxLineBytes, 'x');
    EXPECT_TRUE(drain(session) == x + "\n" + x.substr(0, 10) + "\n(end 0)") << "a long line comes in pieces";
    // A "\r\n" just past a full piece ends the line; it makes no empty line of its own.
    ASSERT_EQ(attach(session, "session_long " + std::to_string(KRSession::kMaxLineBytes) + " crlf"), 1);
    EXPECT_TRUE(drain(session) == x + "\n(end 0)") << "a full piece ended by CR LF";
    ASSERT_EQ(attach(session, "session_die 9"), 1) << lastErrorText(session);
    EXPECT_EQ(drain(session), "(end 137)");

    // This machine, under any of its names (a short one for its qualified name too), runs the
    // program itself; other hosts go through the remote shell, each argument one word there. A
    // qualified name in another domain is another machine, whatever its first label.
    std::string upperMachine = PlatformEnv::machineName();
    for (char& c : upperMachine) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string shortMachine = upperMachine.substr(0, upperMachine.find('.'));
    const struct {
        std::string host;
        bool here;
        const char *arguments = " x", *words = "[x]\n";
    } hosts[] = {{"LocalHost", true}, {upperMachine, true}, {"VORNICA-TEST-NODE", true},
                 {"Vornica-Test-Node.Example.Org", true}, {"vornica-test-node.elsewhere.org", false},
                 {shortMachine + ".elsewhere.org", false},
                 {"far.example.net", false, " a;b  $HOME 'q' * `id`", "[a;b]\n[$HOME]\n['q']\n[*]\n[`id`]\n"},
                 {"ops_1@[fe80::1]", false, "", ""}};
    for (const auto& c : hosts) {
        ASSERT_EQ(attach(session, std::string("session_argv") + c.arguments, c.host), 1) << c.host << ": " << lastErrorText(session);
        EXPECT_EQ(drain(session), (c.here ? "" : "option=BatchMode=yes\nhost=" + c.host + "\n") + c.words + "(end 0)") << c.host;
    }
}

// A program or remote shell that is not there, and requests that must not reach a shell or the
// program directory's parent.
TEST_F(KRSessionTest, RefusedStartsKeepACodeAndAText) {
    KRSession session;
    useRemoteShell("/nonexistent/ssh");
    krsExecuteRemoteCommandType missing = command("no-such-program.exe", "a b"), good = command(kHelperName, "session_argv");
    krsExecuteRemoteCommandType escaping = command("../bin/sh", ""), unterminated = command(kHelperName, "");
    std::memset(unterminated.programName, 'p', sizeof unterminated.programName);
    const std::tuple<krsExecuteRemoteCommandType*, const char*, int> cases[] = {
        {&missing, "localhost", ENOENT}, {&good, "far.example.net", ENOENT}, {nullptr, "localhost", EINVAL},
        {&good, nullptr, EINVAL}, {&good, "", EINVAL}, {&good, "far host", EINVAL}, {&good, "-oProxyCommand=touch", EINVAL},
        {&good, "far$(id)", EINVAL}, {&good, "far`id`", EINVAL}, {&good, "far;id", EINVAL}, {&good, "far|id", EINVAL},
        {&good, "fär", EINVAL}, {&escaping, "localhost", EINVAL}, {&unterminated, "localhost", EINVAL}};
    for (const auto& [record, host, code] : cases) {
        EXPECT_NE(session.dataAgentAttach(record, host, 1), 1) << (host ? host : "(null)");
        EXPECT_EQ(lastCode(session), code) << (host ? host : "(null)");
    }
}

TEST_F(KRSessionTest, ARunningProgramOutlivesItsSessionOrHoldsItUntilAbortOrComplete) {
    long pid = 0;
    KRSession session;
    {
        KRSession gone;
        ASSERT_EQ(attach(gone, "session_sleep 30"), 1) << lastErrorText(gone);
        pid = gone.peerProcessId();
        EXPECT_EQ(drain(gone, 1), "ready\n") << "then the receive times out";
        EXPECT_NE(attach(gone, "session_argv"), 1);
        EXPECT_EQ(lastCode(gone), EISCONN);
        EXPECT_NE(gone.completeSession(0), 1);
        EXPECT_EQ(lastCode(gone), ETIMEDOUT);
    }
    usleep(100 * 1000);  // time for a signal sent at the end of the session to land
    char state = processState(pid);
    EXPECT_TRUE(state == 'S' || state == 'R') << "a destroyed session leaves its program running: " << state;
    kill(static_cast<pid_t>(pid), SIGKILL);
    ASSERT_TRUE(awaitProcessEnd(pid));
    EXPECT_EQ(processState(pid), 'Z');
    EXPECT_EQ(drain(session, 0), "") << "any later call of a session collects what earlier sessions left behind";
    EXPECT_EQ(zombieChildren(), std::vector<long>{});

    // Abort ends even a program that ignores SIGTERM, reaps it and drops what was queued.
    ASSERT_EQ(attach(session, "session_sleep 300 ignore-term"), 1) << lastErrorText(session);
    pid = session.peerProcessId();
    EXPECT_EQ(drain(session, 1), "ready\n");
    ASSERT_EQ(session.postMessage(0x55, 0, nullptr, 0), 1);
    EXPECT_EQ(session.abortSession(), 1);
    EXPECT_EQ(processState(pid), '\0') << "the program is still there";
    EXPECT_EQ(drain(session, 0), "");

    ASSERT_EQ(attach(session, "session_sleep 30"), 1) << lastErrorText(session);
    pid = session.peerProcessId();
    kill(static_cast<pid_t>(pid), SIGKILL);
    EXPECT_EQ(session.completeSession(), 1);
    EXPECT_EQ(processState(pid), '\0');

    // A program that has exited but left a child holding its output: abort ends the child too.
    ASSERT_EQ(attach(session, "session_background 300"), 1) << lastErrorText(session);
    const std::string child = drain(session, 1);
    ASSERT_FALSE(child.empty()) << "the program names its child, then its output stays open";
    pid = std::stol(child);
    EXPECT_EQ(session.abortSession(), 1);
    const bool ended = awaitProcessEnd(pid);
    if (!ended) kill(static_cast<pid_t>(pid), SIGKILL);
    EXPECT_TRUE(ended) << "the program's child survived the abort";
}

TEST_F(KRSessionTest, PostedMessagesKeepTheirOrderAndACallerBufferReportsWhatDidNotFit) {
    KRSession session;
    ASSERT_EQ(session.postMessage(1, 10, "0123456789", 10), 1);
    ASSERT_EQ(session.postMessage(2, 20, "abc", 3), 1);
    ASSERT_EQ(session.postMessage(3, 30, "a\0b", 3), 1);
    ASSERT_EQ(session.postMessage(4, 40, nullptr, 0), 1);
    EXPECT_NE(session.postMessage(5, 50, nullptr, 3), 1);

    char storage[8];
    krsDatabuf buffer{storage, sizeof storage};
    unsigned long type = 0;
    int received = 0;
    ASSERT_EQ(session.receiveMessage(&type, nullptr, &buffer, 0, &received), 1);
    EXPECT_EQ(std::tie(buffer.length, buffer.fullLength, buffer.truncated), std::make_tuple(8ul, 10ul, 1));
    EXPECT_EQ(std::string(storage, 8), "01234567");
    session.freeReceivedMessage(type, &buffer);
    EXPECT_EQ(buffer.data, storage);
    ASSERT_EQ(session.receiveMessage(&type, nullptr, &buffer, 0, &received), 1);
    EXPECT_EQ(buffer.truncated, 0);
    EXPECT_STREQ(storage, "abc");

    // A buffer without capacity or no buffer at all is refused and the message stays queued.
    krsDatabuf noRoom{storage};
    EXPECT_NE(session.receiveMessage(&type, nullptr, &noRoom, 0, &received), 1);
    EXPECT_NE(session.receiveMessage(&type, nullptr, nullptr, 0, &received), 1);
    EXPECT_EQ(lastCode(session), EINVAL);
    EXPECT_EQ(drain(session, 1), "(3 30)a\0b\n(4 40)\n"s) << "until the empty queue times out";
}

}  // namespace
