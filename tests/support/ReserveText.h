// Reads a reserve file's text the way the reservation does, for tests, the test helper and the
// fuzz target, and names this process's line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Indexing/cacheFs/ReserveFileLines.h"
#include "Indexing/idxport/CXProcessId.h"

// This process's id text, as its reserve line names it.
inline std::string ownProcessId() {
    CXProcessId me;
    me.thisProcess();
    return me.getIdString();
}

// The well-formed lines of text, in order; *malformed, when given, counts the others.
inline std::vector<ReserveLine> reserveLinesOf(std::string_view text, int* malformed = nullptr) {
    ReserveLineReader reader(text);
    std::string_view view;
    bool tooLong = false;
    std::vector<ReserveLine> lines;
    if (malformed != nullptr) *malformed = 0;
    while (reader.next(view, tooLong)) {
        if (view.empty()) continue;  // the reservation drops empty lines unseen
        ReserveLine line;
        if (!tooLong && parseReserveLine(view, line) == ReserveLineStatus::ok)
            lines.push_back(line);
        else if (malformed != nullptr)
            ++*malformed;
    }
    return lines;
}
