// Converts between a domain's id and its number, through the [TalCells] section whose entries
// read "<id> = <number>".
#pragma once

#include "Platform/SettingsStore.h"

class KRTalCell {
public:
    explicit KRTalCell(unsigned long id);

    // The number of the id given at construction; 0 on success, ENOENT when unknown.
    int getTalCellNumber(unsigned long& number) const;
    void setTalCellNumber(unsigned long number) { number_ = number; }
    // The id of the number set with setTalCellNumber; 0 on success, ENOENT when unknown.
    int getTalCellId(unsigned long& id) const;

private:
    unsigned long id_;
    unsigned long number_ = 0;
    SettingsStore settings_;
};
