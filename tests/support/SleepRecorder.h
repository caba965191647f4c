// Stands in for the platform sleep while it lives: records every sleep and sleeps not at all
// (or at most realMs), so that a test sees how a wait was paced without spending it.
#pragma once

#include <functional>
#include <vector>

class SleepRecorder {
public:
    // atSleep runs at each sleep, after it is recorded, with the number of sleeps so far.
    explicit SleepRecorder(std::function<void(size_t)> atSleep = {}, unsigned long realMs = 0);
    ~SleepRecorder();
    SleepRecorder(const SleepRecorder&) = delete;
    SleepRecorder& operator=(const SleepRecorder&) = delete;

    std::vector<unsigned long> ms;  // the sleeps asked for, in order
};
