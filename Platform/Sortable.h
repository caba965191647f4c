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

    // A comparison that orders lines by a part of them (a key: a column, a number read from
    // the line) can have the key made once per line instead of in every call. It answers
    // usesKeys() true; the sorter then calls makeKey once for each line it reads (from the
    // input, and again from a run file when it merges) and compareKeyed, which must order as
    // compare does, for every pair; compare is not called. The keys of the lines in memory count
    // against the sorter's memory budget.
    virtual bool usesKeys() const { return false; }
    // Replaces key with the key of line.
    virtual void makeKey(std::string_view line, std::string& key);
    // Orders a and b given with their keys; by default compare(a, b).
    virtual int compareKeyed(std::string_view a, std::string_view keyA, std::string_view b, std::string_view keyB);

    // The text of the failure that made the last operation return non-zero; empty otherwise.
    const char* getFatalErrMsg() const { return fatalErrMsg_.c_str(); }

protected:
    void clearFatalErrMsg() { fatalErrMsg_.clear(); }
    // Records the failure text; always returns -1 for the caller to pass on.
    int setFatalErrMsg(const char* format, ...) VORNICA_PRINTF(2, 3);

private:
    std::string fatalErrMsg_;
};
