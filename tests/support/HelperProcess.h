// Runs the test helper program (tests/support/helper) as a real second process, with pipes to
// its standard input and output.
#pragma once

#include <sys/types.h>

#include <cstdlib>
#include <string>
#include <vector>

class HelperProcess {
public:
    // args[0] is the helper command; the rest are its arguments.
    explicit HelperProcess(const std::vector<std::string>& args);
    // Then waits for the line awaited; throws (failing the test) when the helper ends or times
    // out before it says so.
    HelperProcess(const std::vector<std::string>& args, const std::string& awaited);
    ~HelperProcess();  // kills a helper that still runs
    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;

    pid_t pid() const { return pid_; }
    // One line of the helper's output without its newline; empty at end of output or after
    // the time-out.
    std::string readLine(int timeoutMs = 20000);
    // Reads lines until one equals expected; false at end of output or time-out.
    bool waitForLine(const std::string& expected, int timeoutMs = 20000);
    // Everything the helper still writes, up to the end of its output.
    std::string readAll();
    void writeLine(const std::string& line);
    void closeInput();
    // The exit code, or 128 + the signal that ended it.
    int wait();
    // True once the helper has ended (it is then reaped: wait() returns at once).
    bool exited();
    void kill(int signal);

private:
    pid_t pid_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
    std::string pending_;
    bool ended_ = false;  // its output has ended
    bool waited_ = false;
    int status_ = 0;
};

// The start of a shell command that runs a program under strace, for faults injected at one
// system call; the leak checker of a sanitizer build cannot work under a tracer and is off.
inline const std::string kUnderStrace = "ASAN_OPTIONS=detect_leaks=0 strace -f -qq -o /dev/null";
inline bool straceAvailable() { return system("strace -V >/dev/null 2>&1") == 0; }

// Runs a helper command to its end; returns its exit code and, when asked, its output.
int runHelper(const std::vector<std::string>& args, std::string* output = nullptr);
