#include "Platform/EvEvent.h"

int EvEvent::initialize(int kind, const char* name, int64_t jobId) {
    kind_ = kind;
    name_ = name != nullptr ? name : "";
    if (jobId != 0) jobId_ = jobId;
    if (!name_.empty() && name_ != "Debuggable") setApplicationName(name_);
    ready_ = true;
    return 0;
}

void EvEvent::setServerOffline() { EventJournal::setServerOffline(true); }

void EvEvent::disconnect() { EventJournal::closeJournal(); }

EvEvent& EvEvent::operator<<(const char* text) {
    args_.push_back(JournalArg::ofText(text));
    return *this;
}
EvEvent& EvEvent::operator<<(int value) {
    args_.push_back(JournalArg::ofSigned(value));
    return *this;
}
EvEvent& EvEvent::operator<<(unsigned int value) {
    args_.push_back(JournalArg::ofUnsigned(value));
    return *this;
}
EvEvent& EvEvent::operator<<(long value) {
    args_.push_back(JournalArg::ofSigned(value));
    return *this;
}
EvEvent& EvEvent::operator<<(unsigned long value) {
    args_.push_back(JournalArg::ofUnsigned(value));
    return *this;
}
EvEvent& EvEvent::operator<<(long long value) {
    args_.push_back(JournalArg::ofSigned(value));
    return *this;
}
EvEvent& EvEvent::operator<<(unsigned long long value) {
    args_.push_back(JournalArg::ofUnsigned(value));
    return *this;
}

void EvEvent::send(const char* severity, int messageId, int64_t jobId, int flags) {
    (void)flags;  // the library always passes 0 and no flag changes delivery here
    JournalRecord record;
    record.kind = "event";
    record.severity = severity;
    record.messageId = static_cast<uint32_t>(messageId);
    record.jobId = jobId != 0 ? jobId : jobId_;
    record.program = getApplicationName();
    record.args = std::move(args_);
    args_.clear();
    EventJournal::record(std::move(record));
}

void EvEvent::MajorEvent(int messageId, int64_t jobId, int flags) { send("major", messageId, jobId, flags); }
void EvEvent::CriticalEvent(int messageId, int64_t jobId, int flags) { send("critical", messageId, jobId, flags); }
void EvEvent::InfoEvent(int messageId, int64_t jobId, int flags) { send("info", messageId, jobId, flags); }
