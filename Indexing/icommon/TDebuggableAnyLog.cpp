#include "Indexing/icommon/TDebuggableAnyLog.h"

#include "Platform/KRPI_Focus.h"

void TDebuggableAnyLog::debug(int level, const char* format, ...) {
    Line line;
    va_list args;
    va_start(args, format);
    bool kept = prepareLine(line, level, format, args);
    va_end(args);
    if (!kept) return;
    if (forwardsToEvents()) {
        forwardLine(ev(), getJobId(), line.text);
        if (external_ != nullptr && logTwoPlaces_) forwardLine(TDebuggable::ev(), getJobId(), line.text);
    }
    finishLine(line);
}

void TDebuggableAnyLog::setEvent(EvEvent* event) {
    external_ = event;
    if (getJobId() != 0 && event != nullptr) event->setJobId(getJobId());
}

void TDebuggableAnyLog::setJobId(int64_t jobId) {
    if (jobId != 0 && KRPI_Focus::AmIAService() == 0 && external_ != nullptr) external_->setJobId(jobId);
    TDebuggable::setJobId(jobId);
}

void TDebuggableAnyLog::setProgramName(const char* name) {
    if (external_ != nullptr && !external_->getReady()) external_->initialize(2, name, 0);
    TDebuggable::setProgramName(name);
}
