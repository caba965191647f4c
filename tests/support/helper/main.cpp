#include <cstdio>
#include <iostream>
#include <map>
#include <string>

#include "HelperCommand.h"

namespace {
std::map<std::string, HelperFunction>& commands() {
    static std::map<std::string, HelperFunction> all;
    return all;
}
}  // namespace

HelperRegistration::HelperRegistration(const char* name, HelperFunction function) { commands()[name] = function; }

void helperSay(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

std::string helperAwaitLine() {
    std::string line;
    std::getline(std::cin, line);
    return line;
}

int main(int argc, char** argv) {
    if (argc < 2 || commands().count(argv[1]) == 0) {
        std::fprintf(stderr, "usage: vornica_test_helper COMMAND [ARGS...]\ncommands:");
        for (const auto& entry : commands()) std::fprintf(stderr, " %s", entry.first.c_str());
        std::fprintf(stderr, "\n");
        return 64;
    }
    HelperArgs args(argv + 2, argv + argc);
    return commands()[argv[1]](args);
}
