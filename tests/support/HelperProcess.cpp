#include "tests/support/HelperProcess.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace {
long long nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
}  // namespace

HelperProcess::HelperProcess(const std::vector<std::string>& args) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<std::string> all{VORNICA_TEST_HELPER};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, VORNICA_TEST_HELPER, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    toChild_ = in[1];
    fromChild_ = out[0];
    if (rc != 0) throw std::runtime_error("cannot start the test helper");
    signal(SIGPIPE, SIG_IGN);
}

HelperProcess::HelperProcess(const std::vector<std::string>& args, const std::string& awaited) : HelperProcess(args) {
    std::string command;
    for (const std::string& word : args) command += " " + word;
    if (!waitForLine(awaited)) throw std::runtime_error("the helper" + command + " did not say " + awaited);
}

HelperProcess::~HelperProcess() {
    if (!waited_) {
        ::kill(pid_, SIGKILL);
        wait();
    }
    closeInput();
    close(fromChild_);
}

std::string HelperProcess::readLine(int timeoutMs) {
    const long long deadline = nowMs() + timeoutMs;
    for (size_t newline; (newline = pending_.find('\n')) == std::string::npos;) {
        const long long left = deadline - nowMs();
        if (left <= 0) return {};
        pollfd p{fromChild_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char buffer[4096];
        const ssize_t n = read(fromChild_, buffer, sizeof buffer);
        if (n <= 0) {  // the end of the output: what is left, without a newline
            ended_ = true;
            return std::exchange(pending_, {});
        }
        pending_.append(buffer, static_cast<size_t>(n));
    }
    const size_t newline = pending_.find('\n');
    std::string line = pending_.substr(0, newline);
    pending_.erase(0, newline + 1);
    return line;
}

bool HelperProcess::waitForLine(const std::string& expected, int timeoutMs) {
    const long long deadline = nowMs() + timeoutMs;
    while (nowMs() < deadline) {
        if (readLine(static_cast<int>(deadline - nowMs())) == expected) return true;
        if (ended_ && pending_.empty()) return false;
    }
    return false;
}

void HelperProcess::writeLine(const std::string& line) {
    const std::string text = line + "\n";
    if (write(toChild_, text.data(), text.size()) < 0) {
        // the helper has gone; wait() tells the test how
    }
}

void HelperProcess::closeInput() {
    if (toChild_ >= 0) close(toChild_);
    toChild_ = -1;
}

int HelperProcess::wait() {
    while (!waited_) waited_ = waitpid(pid_, &status_, 0) >= 0;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
}

bool HelperProcess::exited() {
    if (!waited_ && waitpid(pid_, &status_, WNOHANG) == pid_) waited_ = true;
    return waited_;
}

void HelperProcess::kill(int signal) { ::kill(pid_, signal); }

std::string HelperProcess::readAll() {
    std::string all = std::exchange(pending_, {});
    char buffer[4096];
    for (ssize_t n; (n = read(fromChild_, buffer, sizeof buffer)) != 0;)
        if (n > 0) all.append(buffer, static_cast<size_t>(n));
        else if (errno != EINTR) break;
    return all;
}

int runHelper(const std::vector<std::string>& args, std::string* output) {
    HelperProcess helper(args);
    helper.closeInput();
    const std::string all = helper.readAll();
    if (output) *output = all;
    return helper.wait();
}
