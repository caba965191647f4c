// Programs that sessions run in the tests, and a stand-in for ssh.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "HelperCommand.h"

// session_argv WORDS...: prints each argument as "[word]".
HELPER_COMMAND(session_argv) {
    for (const std::string& word : args) helperSay("[" + word + "]");
    return 0;
}

// session_raw TEXT [CODE]: writes TEXT with "\n" and "\r" turned into line ends, nothing added;
// exits with CODE (default 0).
HELPER_COMMAND(session_raw) {
    if (args.empty() || args.size() > 2) return 64;
    std::string text = args[0];
    for (size_t at = 0; (at = text.find('\\', at)) != std::string::npos && at + 1 < text.size(); ++at)
        if (text[at + 1] == 'n' || text[at + 1] == 'r') text.replace(at, 2, 1, text[at + 1] == 'n' ? '\n' : '\r');
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    return args.size() > 1 ? std::atoi(args[1].c_str()) : 0;
}

// session_long BYTES [crlf]: one line of BYTES 'x' characters, ended by "\n" or "\r\n".
HELPER_COMMAND(session_long) {
    if (args.empty() || args.size() > 2) return 64;
    std::string line(static_cast<size_t>(std::atol(args[0].c_str())), 'x');
    helperSay(args.size() > 1 && args[1] == "crlf" ? line + "\r" : line);
    return 0;
}

// session_sleep SECONDS [ignore-term]: prints "ready", then sleeps; with ignore-term it
// ignores SIGTERM first.
HELPER_COMMAND(session_sleep) {
    if (args.empty()) return 64;
    if (args.size() > 1 && args[1] == "ignore-term") signal(SIGTERM, SIG_IGN);
    helperSay("ready");
    sleep(static_cast<unsigned>(std::atoi(args[0].c_str())));
    return 0;
}

// session_die SIGNAL: ends by that signal.
HELPER_COMMAND(session_die) {
    if (args.size() != 1) return 64;
    int sig = std::atoi(args[0].c_str());
    signal(sig, SIG_DFL);
    raise(sig);
    return 1;
}

// session_background SECONDS: starts a child that keeps standard output open and sleeps
// SECONDS, prints the child's process id, and exits at once without waiting for it.
HELPER_COMMAND(session_background) {
    if (args.size() != 1) return 64;
    const pid_t child = fork();
    if (child < 0) return 1;
    if (child == 0) {
        sleep(static_cast<unsigned>(std::atoi(args[0].c_str())));
        _exit(0);
    }
    helperSay(std::to_string(child));
    return 0;
}

// fake_shell [-o OPTION]... HOST WORDS...: behaves like ssh to HOST: prints "option=OPTION" and
// "host=HOST", then hands the words, joined by blanks, to /bin/sh as the remote side's login
// shell would.
HELPER_COMMAND(fake_shell) {
    size_t i = 0;
    while (i + 1 < args.size() && args[i] == "-o") {
        helperSay("option=" + args[i + 1]);
        i += 2;
    }
    if (i >= args.size()) return 255;
    helperSay("host=" + args[i]);
    std::string command;
    for (size_t w = i + 1; w < args.size(); ++w) command += (w > i + 1 ? " " : "") + args[w];
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    return 127;
}
