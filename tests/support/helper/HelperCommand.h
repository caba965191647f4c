// Commands of the test helper program. Each file of this folder defines some with
// HELPER_COMMAND(name) { ... return exitCode; }, reading its arguments from `args`.
// Convention: a command that holds something prints "ready" once it holds it, then waits for
// a line on its standard input (or its end) before it lets go and exits.
#pragma once

#include <string>
#include <vector>

using HelperArgs = std::vector<std::string>;
using HelperFunction = int (*)(const HelperArgs& args);

struct HelperRegistration {
    HelperRegistration(const char* name, HelperFunction function);
};

// Prints a line to standard output and flushes it at once.
void helperSay(const std::string& line);
// Blocks until a line arrives on standard input or it ends; returns the line.
std::string helperAwaitLine();

#define HELPER_COMMAND(name)                                                   \
    static int helperCommand_##name(const HelperArgs& args);                   \
    static HelperRegistration helperRegistration_##name(#name, helperCommand_##name); \
    static int helperCommand_##name([[maybe_unused]] const HelperArgs& args)
