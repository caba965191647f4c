#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "HelperCommand.h"
#include "Indexing/idxport/CXProcessId.h"

// process_id: prints this process's id string, then waits for a line before it exits.
HELPER_COMMAND(process_id) {
    CXProcessId self;
    self.thisProcess();
    helperSay(self.getIdString() != nullptr ? self.getIdString() : "none");
    helperAwaitLine();
    return 0;
}

// process_check ID: prints what isRunning says of the id string (1, 0 or -1), or "invalid".
HELPER_COMMAND(process_check) {
    CXProcessId other;
    helperSay(args.size() == 1 && other.setIdString(args[0].c_str()) == 0 ? std::to_string(other.isRunning())
                                                                           : "invalid");
    return 0;
}

// say_exit OUT CODE [ERR]: prints OUT on standard output, then ERR on standard error, exits with CODE.
HELPER_COMMAND(say_exit) {
    if (args.size() < 2) return 64;
    helperSay(args[0]);
    if (args.size() > 2) std::fprintf(stderr, "%s\n", args[2].c_str());
    return std::atoi(args[1].c_str());
}

// echo_lines: copies its input to its output, line by line, up to the end of the input.
HELPER_COMMAND(echo_lines) {
    for (std::string line; std::getline(std::cin, line);) helperSay(line);
    return 0;
}

// describe_session FILE: writes whether it leads a session, where its standard streams lead and
// how many descriptors it holds.
HELPER_COMMAND(describe_session) {
    if (args.size() != 1) return 64;
    std::string text = getsid(0) == getpid() ? "leader\n" : "not leader\n";
    for (int fd = 0; fd < 3; ++fd) {
        char link[256] = {};
        if (readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link, sizeof link - 1) < 0) link[0] = '-';
        text += std::to_string(fd) + " " + link + "\n";
    }
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* entry = dir != nullptr ? readdir(dir) : nullptr)
        count += entry->d_name[0] != '.' && std::atoi(entry->d_name) != dirfd(dir) ? 1 : 0;
    if (dir != nullptr) closedir(dir);
    FILE* file = std::fopen(args[0].c_str(), "w");
    if (file == nullptr) return 2;
    std::fprintf(file, "%s%d descriptors\n", text.c_str(), count);
    std::fclose(file);
    return 0;
}
