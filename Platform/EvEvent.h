// A channel to the product's event service. Arguments are streamed in, in the order the
// message text consumes them, then one of the three severities sends the message and clears them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Platform/EvDebug.h"
#include "Platform/EventJournal.h"

class EvEvent : public EvDebug {
public:
    // kind and name label the sender; a name other than "Debuggable" also becomes the
    // application name of the process. Returns 0.
    int initialize(int kind, const char* name, int64_t jobId);
    bool getReady() const { return ready_; }
    void setJobId(int64_t jobId) { jobId_ = jobId; }
    int64_t getJobId() const { return jobId_; }
    int getKind() const { return kind_; }
    const std::string& getName() const { return name_; }

    // Keeps every later event of the process out of the journal (observers still see them).
    static void setServerOffline();
    // Closes the connection (the process's journal file); the next message opens it again.
    void disconnect();

    EvEvent& operator<<(const char* text);
    EvEvent& operator<<(const std::string& text) { return *this << text.c_str(); }
    EvEvent& operator<<(int value);
    EvEvent& operator<<(unsigned int value);
    EvEvent& operator<<(long value);
    EvEvent& operator<<(unsigned long value);
    EvEvent& operator<<(long long value);
    EvEvent& operator<<(unsigned long long value);

    // jobId 0 sends the object's own job id. The streamed arguments are consumed.
    void MajorEvent(int messageId, int64_t jobId, int flags);
    void CriticalEvent(int messageId, int64_t jobId, int flags);
    void InfoEvent(int messageId, int64_t jobId, int flags);

    // The arguments streamed since the last message.
    const std::vector<JournalArg>& pendingArgs() const { return args_; }

private:
    void send(const char* severity, int messageId, int64_t jobId, int flags);

    bool ready_ = false;
    int kind_ = 0;
    std::string name_;
    std::vector<JournalArg> args_;
};
