// The one sleep of the library: everything that waits goes through it, so that a test can
// shorten the waits (and count them) through the single hook below.
#pragma once

#include <functional>

// Sleeps the calling thread for the given milliseconds; file and line only label the call.
void YUSLEEP_InTeRnAl(unsigned long milliseconds, const char* sourceFile, int line);

#define YUSLEEP(ms) YUSLEEP_InTeRnAl((ms), __FILE__, __LINE__)

// Test hook: while set, it is called instead of sleeping (it may sleep less, or not at all).
// Pass an empty function to restore real sleeping.
using PlatformSleepHook = std::function<void(unsigned long milliseconds, const char* sourceFile, int line)>;
void setPlatformSleepHook(PlatformSleepHook hook);
// True while a hook is set: waits that would otherwise block in the kernel go through the sleep,
// so that the hook decides how long they take.
bool platformSleepHooked();
