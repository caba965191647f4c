// Remembers a TDebuggableAnyLog's redirection and puts it back when the scope ends.
#pragma once

#include "Indexing/icommon/TDebuggableAnyLog.h"

class TAnyLogGuardian : public TDebuggable {
public:
    explicit TAnyLogGuardian(TDebuggableAnyLog* log);
    ~TAnyLogGuardian() override;
    TAnyLogGuardian(const TAnyLogGuardian&) = delete;
    TAnyLogGuardian& operator=(const TAnyLogGuardian&) = delete;

private:
    TDebuggableAnyLog* log_;
    EvEvent* savedEvent_;
    bool savedTwoPlaces_;
};
