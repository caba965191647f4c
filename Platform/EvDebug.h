// The product's common debug log: each call writes one "debug" record to the event journal.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

#define VORNICA_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

class EvDebug {
public:
    EvDebug() = default;
    virtual ~EvDebug() = default;

    void debug(int level, const char* format, ...) VORNICA_PRINTF(3, 4);
    void debug(const char* format, ...) VORNICA_PRINTF(2, 3);
    void Debug(const char* functionName, const char* format, ...) VORNICA_PRINTF(3, 4);
    void DebugJob(const char* functionName, int64_t jobId, const char* format, ...) VORNICA_PRINTF(4, 5);

    // The running program's name: the name it was initialized with (EvEvent::initialize with a
    // name other than "Debuggable"), else the kernel's short name of the executable.
    static std::string getApplicationName();
    static void setApplicationName(const std::string& name);

protected:
    int64_t jobId_ = 0;  // set through EvEvent::setJobId

private:
    void write(int level, const char* functionName, int64_t jobId, const char* format, va_list args)
        VORNICA_PRINTF(5, 0);
};
