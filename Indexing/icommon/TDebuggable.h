// The base of nearly every class: a debug prefix, a job id, an event channel of its own, and
// `debug`, which filters lines by the process-wide level mask and sends them to the event
// service, the process log file and the console.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

#include "Platform/EvEvent.h"

class TDebuggable {
public:
    // The longest line, prefix included; longer text is cut.
    static constexpr size_t kMaxLine = 4104;

    TDebuggable();
    TDebuggable(const TDebuggable& other);
    TDebuggable& operator=(const TDebuggable& other);
    virtual ~TDebuggable();

    virtual void debug(int level, const char* format, ...) VORNICA_PRINTF(3, 4);

    bool isDebugOn(unsigned long level) const { return (level & debugMask) != 0; }
    void setDebugPrefix(const char* prefix) { debugPrefix_ = prefix != nullptr ? prefix : ""; }
    const char* getDebugPrefix() const { return debugPrefix_.c_str(); }
    void useStdout(int on) { stdoutFlag_ = on != 0 ? 1 : 0; }
    void setProgramName(const char* name);
    void setJobId(int64_t jobId);
    int64_t getJobId() const { return jobId_; }
    EvEvent& ev() { return event_; }

    static void setMultiThreaded(bool on) { multiThreadedFlag = on; }
    static bool isMultiThreaded() { return multiThreadedFlag; }
    static void setMultiJob(bool on) { multiJobFlag = on; }
    static bool isMultiJob() { return multiJobFlag; }
    static void logEvents(int on) { logEventsFlag = on; }
    static int getLogEventsFlag() { return logEventsFlag; }

    // Printable name of an application: client\type[\instance]\backupSet\subclient, or
    // "talCell:app" when it cannot be looked up. Valid until the next call on this object.
    const char* appToString(unsigned long talCell, unsigned long app);
    void appEvent(unsigned long talCell, unsigned long app) { event_ << appToString(talCell, app); }
    // "now" for 0, else the ctime text without its line end ("error" when it cannot be made).
    const char* dateToString(unsigned long time);
    void dateEvent(unsigned long time) { event_ << dateToString(time); }
    // 0 when found; key null means "MediaAgent".
    int getRegistryNumber(const char* name, unsigned long* value, const char* key = nullptr);
    // The text, or null; key null means "MediaAgent". Valid until the next call on this object.
    const char* getRegistryString(const char* name, const char* key = nullptr);

    static uint32_t getDebugMask() { return debugMask; }
    static int getUsageCount() { return usageCount; }
    static bool isLogFileOpen() { return debugLog != nullptr; }

    // Public flag for callers; nothing in the library reads it.
    static bool symlinkTableFlag;

protected:
    // The steps of `debug` shared with subclasses that forward lines elsewhere: prepareLine
    // filters, formats, prints the stdout form and cuts the line at its last newline (false:
    // filtered out); finishLine writes the line to the log file and the console.
    struct Line {
        char text[kMaxLine + 2];
        bool hadNewline = false;
    };
    bool prepareLine(Line& line, int level, const char* format, va_list args) VORNICA_PRINTF(4, 0);
    void finishLine(Line& line);
    // Whether lines go to the event service at all (the events flag is on, stdout is not used).
    bool forwardsToEvents() const { return logEventsFlag != 0 && stdoutFlag_ == 0; }
    static void forwardLine(EvEvent& event, int64_t jobId, const char* text);

private:
    static void openLogFile();

    int64_t jobId_ = 0;
    std::string debugPrefix_ = "NoPrefix";
    std::string appText_;
    std::string dateText_;
    std::string registryText_;
    EvEvent event_;
    int stdoutFlag_ = 0;

    static int usageCount;
    static uint32_t debugMask;
    static long debugPid;
    static FILE* debugLog;
    static int logEventsFlag;
    static bool multiThreadedFlag;
    static bool multiJobFlag;
};
