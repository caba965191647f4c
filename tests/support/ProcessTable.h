// What /proc tells about processes, for tests of children that must not be left behind.
#pragma once

#include <vector>

// The state letter of a process ('R', 'S', 'Z', ...), '\0' when there is no such process.
char processState(long pid);
// The ids of this process's children that have ended and wait to be reaped (zombies).
std::vector<long> zombieChildren();
// Waits (at most about 10 s) until the process has ended: gone, or a zombie. True when it has.
bool awaitProcessEnd(long pid);
