// An average-time counter of the performance library: a number of samples and their total time.
//
// Samples come in as seconds through AddSample, or are timed with Start and Stop on the
// monotonic clock. Virtual operations, in this order: the destructor, AddSample, Reset, so that
// a counter that extends this one (one that also keeps the longest sample, say) sees every
// sample and clears its own fields on Reset before calling this one's.
// Not thread-safe: a counter shared between threads is guarded by its owner.
#pragma once

#include <chrono>
#include <cstdint>

class EvDebug;

class CAverageCounter {
public:
    // debug, when not null, receives a line for each refused sample; it must outlive the counter.
    explicit CAverageCounter(EvDebug* debug = nullptr);
    virtual ~CAverageCounter();

    // Adds one sample of the given duration. A negative, infinite or NaN duration is refused
    // (false, nothing counted).
    virtual bool AddSample(double seconds);
    // Forgets every sample; a running Start is forgotten too.
    virtual void Reset();

    // Starts timing one sample; a second Start restarts it.
    void Start();
    // Ends the sample begun by Start, adds it through AddSample and returns its duration in
    // seconds; without a running Start it adds nothing and returns 0.
    double Stop();

    // The number of samples (held in 64 bits; this reading stops at the largest unsigned).
    unsigned Samples() const;
    double Time() const { return total_; }
    double Average() const { return count_ == 0 ? 0.0 : total_ / static_cast<double>(count_); }

protected:
    EvDebug* debug_;

private:
    uint64_t count_ = 0;
    double total_ = 0.0;
    bool running_ = false;
    std::chrono::steady_clock::time_point started_{};
};
