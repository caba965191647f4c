#include "tests/support/SleepRecorder.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "Platform/PlatformSleep.h"

SleepRecorder::SleepRecorder(std::function<void(size_t)> atSleep, unsigned long realMs) {
    setPlatformSleepHook([this, atSleep, realMs](unsigned long asked, const char*, int) {
        ms.push_back(asked);
        if (atSleep) atSleep(ms.size());
        if (realMs != 0) std::this_thread::sleep_for(std::chrono::milliseconds(std::min(asked, realMs)));
    });
}

SleepRecorder::~SleepRecorder() { setPlatformSleepHook({}); }
