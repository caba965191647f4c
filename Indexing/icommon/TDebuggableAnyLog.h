// A debuggable object whose lines can be redirected to an event object of its user, and
// optionally sent to both that one and its own.
#pragma once

#include "Indexing/icommon/TDebuggable.h"

class TDebuggableAnyLog : public TDebuggable {
public:
    TDebuggableAnyLog() = default;
    ~TDebuggableAnyLog() override = default;

    void debug(int level, const char* format, ...) override VORNICA_PRINTF(3, 4);

    // The external event when set, else the object's own.
    EvEvent& ev() { return external_ != nullptr ? *external_ : TDebuggable::ev(); }
    // Null removes the redirection. The event is not owned and must outlive its use.
    void setEvent(EvEvent* event);
    EvEvent* getEvent() const { return external_; }
    void setJobId(int64_t jobId);
    void setProgramName(const char* name);
    void setLogTwoPlaces(bool on) { logTwoPlaces_ = on; }
    bool getLogTwoPlaces() const { return logTwoPlaces_; }

private:
    EvEvent* external_ = nullptr;
    bool logTwoPlaces_ = false;
};
