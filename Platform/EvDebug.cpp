#include "Platform/EvDebug.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "Platform/EventJournal.h"
#include "Platform/PlatformEnv.h"

namespace {
std::mutex nameMutex;
std::string applicationName;
}  // namespace

void EvDebug::write(int level, const char* functionName, int64_t jobId, const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int needed = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    JournalRecord record;
    record.kind = "debug";
    record.severity = "debug";
    record.level = level;
    record.program = getApplicationName();
    record.jobId = jobId;
    record.function = functionName != nullptr ? functionName : "";
    if (needed > 0) {
        record.message.resize(static_cast<size_t>(needed) + 1);
        vsnprintf(record.message.data(), record.message.size(), format, args);
        record.message.resize(static_cast<size_t>(needed));
    }
    EventJournal::record(std::move(record));
}

void EvDebug::debug(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    write(level, nullptr, jobId_, format, args);
    va_end(args);
}

void EvDebug::debug(const char* format, ...) {
    va_list args;
    va_start(args, format);
    write(1, nullptr, jobId_, format, args);
    va_end(args);
}

void EvDebug::Debug(const char* functionName, const char* format, ...) {
    va_list args;
    va_start(args, format);
    write(1, functionName, jobId_, format, args);
    va_end(args);
}

void EvDebug::DebugJob(const char* functionName, int64_t jobId, const char* format, ...) {
    va_list args;
    va_start(args, format);
    write(1, functionName, jobId, format, args);
    va_end(args);
}

std::string EvDebug::getApplicationName() {
    std::lock_guard<std::mutex> guard(nameMutex);
    return applicationName.empty() ? PlatformEnv::programName() : applicationName;
}

void EvDebug::setApplicationName(const std::string& name) {
    std::lock_guard<std::mutex> guard(nameMutex);
    applicationName = name;
}
