// What the batch sorter asks of the thing it sorts with: one comparison of two lines, and the
// text of the failure that stopped the last operation.
#pragma once

#include <string>
#include <string_view>

#include "Platform/EvDebug.h"

class Sortable {
public:
    Sortable() = default;
    virtual ~Sortable() = default;
    Sortable(const Sortable&) = delete;
    Sortable& operator=(const Sortable&) = delete;

    // Orders two lines, given without their line ends (they may hold any byte, '\0' included):
    // negative when a sorts before b, zero when neither comes first, positive otherwise. The
    // sorter keeps lines that compare equal in their input order. It calls this from the thread
    // that runs the sort, one call at a time, so an implementation may keep scratch state.
    virtual int compare(std::string_view a, std::string_view b) = 0;

    // The text of the failure that made the last operation return non-zero; empty otherwise.
    const char* getFatalErrMsg() const { return fatalErrMsg_.c_str(); }

protected:
    void clearFatalErrMsg() { fatalErrMsg_.clear(); }
    // Records the failure text; always returns -1 for the caller to pass on.
    int setFatalErrMsg(const char* format, ...) VORNICA_PRINTF(2, 3);

private:
    std::string fatalErrMsg_;
};
