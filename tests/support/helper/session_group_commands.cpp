// A session program that leaves a descendant behind.
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "HelperCommand.h"

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
