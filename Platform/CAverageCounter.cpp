#include "Platform/CAverageCounter.h"

#include <cmath>
#include <limits>

#include "Platform/EvDebug.h"

CAverageCounter::CAverageCounter(EvDebug* debug) : debug_(debug) {}

CAverageCounter::~CAverageCounter() = default;

bool CAverageCounter::AddSample(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0.0) {
        if (debug_ != nullptr) debug_->Debug("CAverageCounter::AddSample", "sample of %f seconds ignored", seconds);
        return false;
    }
    ++count_;
    total_ += seconds;
    return true;
}

void CAverageCounter::Reset() {
    count_ = 0;
    total_ = 0.0;
    running_ = false;
}

void CAverageCounter::Start() {
    started_ = std::chrono::steady_clock::now();
    running_ = true;
}

double CAverageCounter::Stop() {
    if (!running_) return 0.0;
    running_ = false;
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    AddSample(seconds);
    return seconds;
}

unsigned CAverageCounter::Samples() const {
    constexpr uint64_t most = std::numeric_limits<unsigned>::max();
    return static_cast<unsigned>(count_ < most ? count_ : most);
}
