#include "tests/support/HelperProcess.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <stdexcept>

extern char** environ;

namespace {
long long nowMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
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
    int rc = posix_spawn(&pid_, VORNICA_TEST_HELPER, &actions, nullptr, argv.data(), environ);
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
    if (toChild_ >= 0) close(toChild_);
    close(fromChild_);
}

std::string HelperProcess::readLine(int timeoutMs) {
    long long deadline = nowMs() + timeoutMs;
    for (;;) {
        size_t newline = pending_.find('\n');
        if (newline != std::string::npos) {
            std::string line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            return line;
        }
        long long left = deadline - nowMs();
        if (left <= 0) return {};
        pollfd p{fromChild_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char buffer[4096];
        ssize_t n = read(fromChild_, buffer, sizeof buffer);
        if (n <= 0) {
            std::string rest = pending_;
            pending_.clear();
            return rest;
        }
        pending_.append(buffer, static_cast<size_t>(n));
    }
}

bool HelperProcess::waitForLine(const std::string& expected, int timeoutMs) {
    long long deadline = nowMs() + timeoutMs;
    while (nowMs() < deadline) {
        std::string line = readLine(static_cast<int>(deadline - nowMs()));
        if (line == expected) return true;
        if (line.empty() && pending_.empty()) {
            pollfd p{fromChild_, POLLIN, 0};
            if (poll(&p, 1, 0) > 0 && (p.revents & POLLHUP) && !(p.revents & POLLIN)) return false;
        }
    }
    return false;
}

void HelperProcess::writeLine(const std::string& line) {
    std::string text = line + "\n";
    if (write(toChild_, text.data(), text.size()) < 0) {
        // the helper has gone; wait() tells the test how
    }
}

void HelperProcess::closeInput() {
    if (toChild_ >= 0) close(toChild_);
    toChild_ = -1;
}

int HelperProcess::wait() {
    if (!waited_) {
        while (waitpid(pid_, &status_, 0) < 0) {
        }
        waited_ = true;
    }
    if (WIFEXITED(status_)) return WEXITSTATUS(status_);
    return 128 + WTERMSIG(status_);
}

bool HelperProcess::exited() {
    if (!waited_ && waitpid(pid_, &status_, WNOHANG) == pid_) waited_ = true;
    return waited_;
}

void HelperProcess::kill(int signal) { ::kill(pid_, signal); }

std::string HelperProcess::readAll() {
    std::string all = pending_;
    pending_.clear();
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fromChild_, buffer, sizeof buffer);
        if (n > 0) {
            all.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return all;
    }
}

int runHelper(const std::vector<std::string>& args, std::string* output) {
    HelperProcess helper(args);
    helper.closeInput();
    std::string all = helper.readAll();
    if (output) *output = all;
    return helper.wait();
}
