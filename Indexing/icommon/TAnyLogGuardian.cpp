#include "Indexing/icommon/TAnyLogGuardian.h"

TAnyLogGuardian::TAnyLogGuardian(TDebuggableAnyLog* log)
    : log_(log),
      savedEvent_(log != nullptr ? log->getEvent() : nullptr),
      savedTwoPlaces_(log != nullptr && log->getLogTwoPlaces()) {}

TAnyLogGuardian::~TAnyLogGuardian() {
    if (log_ == nullptr) return;
    log_->setEvent(savedEvent_);
    log_->setLogTwoPlaces(savedTwoPlaces_);
}
