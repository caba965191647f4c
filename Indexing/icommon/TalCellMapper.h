// Converts between a domain's (TalCell's) id and its number, remembering the last pair it
// mapped: repeated questions about the same domain, in either direction, are answered without
// asking the platform again. It also knows this installation's own domain id, read once, on
// the first query.
#pragma once

#include <cstdint>

#include "Indexing/icommon/TDebuggable.h"

class TalCellMapper : public TDebuggable {
public:
    // The own id used when the platform reports none.
    static constexpr uint32_t kDefaultTalCellId = 2;

    TalCellMapper();

    // Whether the own domain id has been read (the other queries read it first; this one does not).
    bool isInitialized() const { return initialized_; }
    // This installation's domain id.
    unsigned long getTalCellId();
    // The number of domain id; 0 for id 0 and for an id the platform does not know.
    unsigned long idToNumber(unsigned long id);
    // The id of domain number; 0 for number 0 and for a number the platform does not know.
    unsigned long numberToId(unsigned long number);

private:
    void initialize();

    bool initialized_ = false;
    uint32_t ownId_ = 0;
    uint32_t lastId_ = 0;      // 0: no pair mapped yet
    uint32_t lastNumber_ = 0;
};
