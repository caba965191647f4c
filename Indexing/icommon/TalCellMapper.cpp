#include "Indexing/icommon/TalCellMapper.h"

#include <cstdint>

#include "Platform/KRPI_Focus.h"
#include "Platform/KRPI_TalServer.h"
#include "Platform/KRTalCell.h"

namespace {
constexpr int kDetail = 0x8000;

// Ids and numbers are 32-bit values; a pair outside that range is answered but not kept, so
// that its cut-down form can never answer for another domain.
bool fits(unsigned long value) { return value <= UINT32_MAX; }
}  // namespace

TalCellMapper::TalCellMapper() { setDebugPrefix("TALCELLMAPPER"); }

void TalCellMapper::initialize() {
    if (initialized_) return;
    KRPI_TalServer server;
    server.setFocus(KRPI_Focus::getFocus());
    unsigned long id = server.getTalCellId();
    if (id == 0) {
        debug(1, "getTalCellId returned %lu, defaulting to 2\n", id);
        id = kDefaultTalCellId;
    }
    ownId_ = static_cast<uint32_t>(id);
    debug(kDetail, "TalCell id = %lu\n", static_cast<unsigned long>(ownId_));
    initialized_ = true;
}

unsigned long TalCellMapper::getTalCellId() {
    initialize();
    return ownId_;
}

unsigned long TalCellMapper::idToNumber(unsigned long id) {
    if (id == 0) return 0;
    initialize();
    if (id == lastId_) {
        debug(kDetail, "lastId %lu maps to lastNumber %lu\n", id, static_cast<unsigned long>(lastNumber_));
        return lastNumber_;
    }
    KRTalCell cell(id);
    unsigned long number = 0;
    if (cell.getTalCellNumber(number) != 0 || number == 0) {
        debug(kDetail, "TalCell id %lu has no corresponding TalCell number\n", id);
        return 0;
    }
    if (fits(id) && fits(number)) {
        lastId_ = static_cast<uint32_t>(id);
        lastNumber_ = static_cast<uint32_t>(number);
    }
    debug(kDetail, "id %lu maps to number %lu\n", id, number);
    return number;
}

unsigned long TalCellMapper::numberToId(unsigned long number) {
    if (number == 0) return 0;
    initialize();
    if (number == lastNumber_) {
        debug(kDetail, "lastNumber %lu maps to lastId %lu\n", number, static_cast<unsigned long>(lastId_));
        return lastId_;
    }
    KRTalCell cell(0);
    cell.setTalCellNumber(number);
    unsigned long id = 0;
    if (cell.getTalCellId(id) != 0 || id == 0) {
        debug(kDetail, "TalCell number %lu has no corresponding TalCell id\n", number);
        return 0;
    }
    if (fits(id) && fits(number)) {
        lastId_ = static_cast<uint32_t>(id);
        lastNumber_ = static_cast<uint32_t>(number);
    }
    debug(kDetail, "number %lu maps to id %lu\n", number, id);
    return id;
}
