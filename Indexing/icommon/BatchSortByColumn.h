// A batch sort that orders lines by one column of delimited text, read as an unsigned decimal
// number, an unsigned hexadecimal number or as text.
//
// Columns are the fields of CYuString::Tokenize with double quotes and backslash escapes and
// empty fields kept, so a quoted column may hold separators and "a,,b" has three columns. A
// line with fewer columns compares as an empty column (number 0).
// - Type 1 ("%lu") and type 2 (hexadecimal, 64-bit): the smaller number first when the sort is
//   ascending, the larger first otherwise; a text that does not convert counts as 0 and logs
//   "Invalid ul1"/"Invalid ul2" (type 1) or "Invalid ull1"/"Invalid ull2" (type 2) for the
//   first/second line. Equal numbers: the whole lines in ascending byte order.
// - Type 3: the column texts in byte order, reversed when the sort is descending.
// - Any other type: the whole lines in byte order, reversed when the sort is descending.
// The case-insensitive setting of init does not apply to columns. Lines that compare equal
// keep their input order. For types 1 to 3 the sorter has each line's column read once, as a
// key (Sortable::usesKeys): the column's number, or its text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Indexing/icommon/TDebuggable.h"
#include "Platform/BatchSort.h"
#include "Platform/CYuString.h"

class BatchSortByColumn : public BatchSort {
public:
    // column is 1-based; 0 is taken as 1.
    BatchSortByColumn(unsigned int column, std::string separators, short columnType, uint64_t reserved);

    int compare(std::string_view a, std::string_view b) override;
    bool usesKeys() const override;
    // Type 1 and 2: a byte that tells whether the column was a number, then its value (8
    // bytes); type 3: the column's text; other types: empty.
    void makeKey(std::string_view line, std::string& key) override;
    int compareKeyed(std::string_view a, std::string_view keyA, std::string_view b, std::string_view keyB) override;

    unsigned int getColumn() const { return column_; }
    short getColumnType() const { return columnType_; }
    uint64_t getReserved() const { return reserved_; }

private:
    // The text of this object's column of line (empty when the line has too few columns).
    const std::string& columnText(std::string_view line);

    uint32_t column_;
    std::string separators_;
    int16_t columnType_;
    uint64_t reserved_;  // stored for the caller, not used by the comparison
    TDebuggable log_;
    // Scratch space, reused from call to call.
    std::vector<CYuString> tokens_;
    std::string keyA_;
    std::string keyB_;
};
