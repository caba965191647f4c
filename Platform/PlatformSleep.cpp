#include "Platform/PlatformSleep.h"

#include <errno.h>
#include <time.h>

#include <mutex>

namespace {
std::mutex hookMutex;
PlatformSleepHook sleepHook;
}  // namespace

void setPlatformSleepHook(PlatformSleepHook hook) {
    std::lock_guard<std::mutex> guard(hookMutex);
    sleepHook = std::move(hook);
}

bool platformSleepHooked() {
    std::lock_guard<std::mutex> guard(hookMutex);
    return static_cast<bool>(sleepHook);
}

void YUSLEEP_InTeRnAl(unsigned long milliseconds, const char* sourceFile, int line) {
    PlatformSleepHook hook;
    {
        std::lock_guard<std::mutex> guard(hookMutex);
        hook = sleepHook;
    }
    if (hook) {
        hook(milliseconds, sourceFile, line);
        return;
    }
    timespec rest{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}
