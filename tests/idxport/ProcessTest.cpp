#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "Indexing/idxport/CXChildProcess.h"
#include "Indexing/idxport/CXProcessId.h"
#include "tests/support/HelperProcess.h"
#include "tests/support/ProcessTable.h"
#include "tests/support/TempDir.h"

namespace {
// Starts the helper program with the words as its arguments (argv[0] is a stand-in: the spawn
// passes the path in its place): connected with the given error redirection, or disconnected.
int spawn(CXChildProcess& child, std::vector<std::string> words, bool connected = true, bool redirectError = false,
          bool separateError = false, const char* path = VORNICA_TEST_HELPER) {
    std::vector<char*> argv{const_cast<char*>("unused")};
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    return connected ? child.spawnConnected(path, argv.data(), redirectError, separateError)
                     : child.spawnDisconnected(path, argv.data());
}

std::string readToEnd(CXFile& file) {
    std::string text;
    char buffer[256];
    for (long n; (n = file.read(buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
    return text;
}

size_t openDescriptors() {
    size_t count = 0;
    for (int fd = 0; fd < 1024; ++fd) count += fcntl(fd, F_GETFD) >= 0 ? 1 : 0;
    return count;
}

uint64_t creationOf(const std::string& id) {
    unsigned long pid, high, low;
    sscanf(id.c_str(), "%lu/%lu/%lu", &pid, &high, &low);
    return (uint64_t(high) << 32) | low;
}
}  // namespace

TEST(CXProcessId, AnotherProcessRunsUntilItEnds) {
    HelperProcess helper({"process_id"});
    const std::string id = helper.readLine();
    CXProcessId other;
    ASSERT_EQ(other.setIdString(id.c_str()), 0) << id;
    EXPECT_EQ(other.getPid(), static_cast<unsigned long>(helper.pid()));
    EXPECT_EQ(other.getIdString(), id);
    EXPECT_EQ(other.isRunning(), 1) << "this process computes the creation time the helper recorded";
    // 100 ns units since 1601: the helper started moments ago.
    const int64_t started = int64_t(creationOf(id) / 10000000) - 11644473600LL, now = time(nullptr);
    EXPECT_TRUE(started <= now && started > now - 3600) << started;
    // The same pid with another start names a process that has gone. The boot time that turns
    // start ticks into a time of day moves with a step of the system clock: the very process
    // still runs after such a step.
    // An id written without the tick count below its tick (a multiple of a tick) is allowed a
    // second either way, and no step.
    const int64_t second = 10000000, tick = second / sysconf(_SC_CLK_TCK), hour = 3600;
    const uint64_t belowTick = creationOf(id) % uint64_t(tick);
    const struct {
        bool withoutCount;
        int64_t offset, bootShift;
        int expected;
    } cases[] = {{false, 0, hour, 1},    {false, 0, -hour, 1},     {false, second, 0, 1}, {false, 1, 0, 0},
                 {false, -tick, 0, 0},   {false, 1LL << 32, 0, 0}, {false, 1, hour, 0},   {true, 0, 0, 1},
                 {true, -second, 0, 1},  {true, 2 * second, 0, 0}, {true, 0, hour, 0}};
    for (const auto& c : cases) {
        if (belowTick == 0 && !c.withoutCount) continue;  // a start count that is a multiple of it
        uint64_t creation = creationOf(id) - (c.withoutCount ? belowTick : 0) + static_cast<uint64_t>(c.offset);
        std::string forged = std::to_string(helper.pid()) + "/" + std::to_string(creation >> 32) + "/" +
                             std::to_string(creation & 0xFFFFFFFFu);
        CXProcessId reused;
        ASSERT_EQ(reused.setIdString(forged.c_str()), 0);
        CXProcessId::setBootTimeShift(c.bootShift);
        EXPECT_EQ(reused.isRunning(), c.expected) << forged << " boot time moved by " << c.bootShift << " s";
        CXProcessId::setBootTimeShift(0);
    }
    helper.writeLine("");
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, id_t(helper.pid()), &info, WEXITED | WNOWAIT), 0);
    EXPECT_EQ(other.isRunning(), 0) << "ended, not yet reaped";
    EXPECT_EQ(helper.wait(), 0);
    EXPECT_EQ(other.isRunning(), 0);
    for (const char* impossible : {"0/1/2", "4294967295/1/2"}) {
        ASSERT_EQ(other.setIdString(impossible), 0);
        EXPECT_EQ(other.isRunning(), 0) << impossible;
    }
}

TEST(CXProcessId, MalformedIdStringsAreRefused) {
    for (const char* text : {"12/34", "12/34/56/78", "12/34/56xyz", "", "1//3", "+1/2/3", " 1/2/3", "12/34/4294967296"}) {
        CXProcessId id;
        ASSERT_EQ(id.setIdString("1/2/3"), 0);
        EXPECT_EQ(id.setIdString(text), -1) << '"' << text << '"';
        EXPECT_EQ(id.getIdString(), nullptr) << "left uninitialized";
        EXPECT_EQ(id.isRunning(), -1);
    }
    CXProcessId widest;
    ASSERT_EQ(widest.setIdString("4294967295/0/4294967295"), 0);
    EXPECT_STREQ(widest.getIdString(), "4294967295/0/4294967295");
}

// What a child writes and how it ends, connected (its error output apart or merged) or not; an
// object starts one child only.
TEST(CXChildProcess, OutputErrorOutputAndExitCode) {
    const size_t descriptorsBefore = openDescriptors();
    const struct {
        const char* what;
        std::vector<std::string> words;
        bool connected, redirectError, separateError;
        const char *out, *err;  // null: not read
        int code;
    } cases[] = {
        {"connected", {"say_exit", "hello", "3"}, true, false, false, "hello\n", nullptr, 3},
        {"error output apart", {"say_exit", "out", "0", "err"}, true, true, true, "out\n", "err\n", 0},
        {"error output merged", {"say_exit", "out", "0", "err"}, true, true, false, "out\nerr\n", nullptr, 0},
        {"disconnected", {"say_exit", "x", "3"}, false, false, false, nullptr, nullptr, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CXChildProcess child;
        ASSERT_EQ(spawn(child, c.words, c.connected, c.redirectError, c.separateError), 0);
        EXPECT_EQ(c.out != nullptr ? readToEnd(child) : "", c.out != nullptr ? c.out : "");
        EXPECT_EQ(c.err != nullptr ? readToEnd(child.getErrorFile()) : child.getErrorFile().isOpen() ? "open" : "",
                  c.err != nullptr ? c.err : "");
        EXPECT_EQ(child.wait(), c.code == 0 ? 0 : -1);
        EXPECT_EQ(c.code == 0 ? 0 : child.getLastError(), c.code);
        EXPECT_EQ(spawn(child, c.words, c.connected), -1) << "one child";
        EXPECT_EQ(child.getLastError(), kErrWrongState);
    }
    EXPECT_EQ(openDescriptors(), descriptorsBefore) << "the pipe ends are released with the objects";
}

TEST(CXChildProcess, WaitEndsTheInputAndReportsSignals) {
    CXChildProcess echo, killed;
    ASSERT_EQ(spawn(echo, {"echo_lines"}), 0);
    ASSERT_EQ(echo.putLine("abc", true), 0);
    EXPECT_EQ(echo.wait(), 0) << "the child reads its input to the end";
    EXPECT_EQ(readToEnd(echo), "abc\r\n") << "output stays readable after the wait";
    EXPECT_EQ(echo.write("x", 1), -1) << "the input has ended";

    ASSERT_EQ(spawn(killed, {"echo_lines"}), 0);
    kill(pid_t(killed.getPid()), SIGTERM);
    EXPECT_EQ(killed.wait(), -1);
    EXPECT_EQ(killed.getLastError(), 128 + SIGTERM);
}

TEST(CXChildProcess, ProgramsThatCannotStartAreRefused) {
    for (bool connected : {true, false}) {
        CXChildProcess missing;
        EXPECT_EQ(spawn(missing, {"say_exit", "x", "0"}, connected, true, true, "/nonexistent/program"), -1);
        EXPECT_EQ(missing.getLastError(), ENOENT);
    }
    // A path or an argument line longer than the command buffer.
    CXChildProcess child;
    const std::string longPath(CXChildProcess::kCommandSize, 'p');
    EXPECT_EQ(spawn(child, {"say_exit", "x", "0"}, false, false, false, longPath.c_str()), -1);
    EXPECT_EQ(spawn(child, {"say_exit", std::string(CXChildProcess::kCommandSize - 20, 'a'), "0"}), -1);
    EXPECT_EQ(spawn(child, {"say_exit", "x", "0"}), 0);
    EXPECT_EQ(child.wait(), 0);
}

// A disconnected child leads a session of its own, inherits nothing, and never waits as a zombie
// of the caller, whether it ends before or after its object.
TEST(CXChildProcess, DisconnectedChildrenInheritNothingAndNeverWaitAsZombiesOfTheCaller) {
    TempDir dir;
    long running = 0;
    {
        CXChildProcess ended, lasting;
        ASSERT_EQ(spawn(ended, {"describe_session", dir.file("session")}, false), 0);
        ASSERT_EQ(spawn(lasting, {"session_sleep", "30"}, false), 0);
        running = lasting.getPid();
        ASSERT_TRUE(awaitProcessEnd(ended.getPid()));
        EXPECT_NE(processState(running), '\0');
    }
    EXPECT_EQ(readFileText(dir.file("session")), "leader\n0 /dev/null\n1 /dev/null\n2 /dev/null\n3 descriptors\n");
    kill(static_cast<pid_t>(running), SIGKILL);
    ASSERT_TRUE(awaitProcessEnd(running));
    EXPECT_EQ(zombieChildren(), std::vector<long>{}) << "ended after its object was gone";
}
