// A durable name of a process: its id and its creation time, as the text "pid/high/low" that can
// be stored in a file and tested later, by any process of the machine, for whether that very
// process still runs. The id alone is not enough: the system reuses process ids.
//
// The creation time is kept in the unit of the stored texts: 100-nanosecond intervals since
// 1 January 1601 (UTC), split into two unsigned 32-bit halves. Here it is the process's start
// time as the kernel records it (clock ticks after boot, /proc/<pid>/stat) added to the boot
// time (/proc/stat "btime", whole seconds); the units below one tick hold the tick count modulo
// the units of a tick (below 100000 at 100 ticks a second), so every process computes the same
// value for a process. The boot time is the kernel's wall-clock view of the boot: a step of the
// system clock moves it by whole seconds. isRunning therefore compares starts in ticks since
// boot: a stored time that differs from the current one by whole seconds only, with the same
// digits below the second, is the same start; a stored time without the count below its tick
// (a multiple of a tick) is allowed one second either way.
#pragma once

#include <cstdint>

#include "Indexing/icommon/TDebuggable.h"

class CXProcessId : public TDebuggable {
public:
    // Long enough for three 32-bit numbers, two separators and the terminator.
    static constexpr size_t kIdStringSize = 48;

    CXProcessId();

    // Names the calling process; its creation time is read when the id string is asked for.
    void thisProcess();
    // Exactly three decimal numbers of at most 32 bits each, separated by single '/', nothing
    // else (no signs, blanks or trailing characters). 0, or -1 with the object uninitialized.
    int setIdString(const char* text);
    // "%lu/%lu/%lu" of pid, creation high, creation low; null when not initialized or when the
    // creation time of this process cannot be read. Owned by the object until the next call.
    char* getIdString();
    unsigned long getPid() const { return pid_; }
    // 1 the named process runs, 0 it does not (no such process, ended and not yet reaped, or the
    // id now belongs to a process with another creation time), -1 cannot tell.
    int isRunning();
    // Whether some process has the id pid now, whatever its start: 1 yes, 0 no (or ended and not
    // yet reaped), -1 cannot tell. For names that carry a process id alone (temporary files):
    // a yes may be a later process that got the same id.
    static int pidRuns(unsigned long pid);

    // Test hook: seconds added to the boot time wherever this process reads it, as a step of the
    // system clock moves it. 0 restores the system's value.
    static void setBootTimeShift(int64_t seconds);

private:
    int initialized_ = 0;
    int thisProcess_ = 0;
    uint32_t pid_ = 0;
    uint32_t creationLow_ = 0;
    uint32_t creationHigh_ = 0;
    char idString_[kIdStringSize] = {};
};
