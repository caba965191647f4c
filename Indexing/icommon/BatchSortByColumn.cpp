#include "Indexing/icommon/BatchSortByColumn.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {
const std::string kEmpty;

int sign(int c) { return c < 0 ? -1 : c > 0 ? 1 : 0; }

// A number key: whether the column was read as a number, and the value (0 when not).
struct NumberKey {
    bool valid = false;
    uint64_t value = 0;
};

NumberKey numberOf(std::string_view key) {
    NumberKey number;
    if (key.size() == 1 + sizeof number.value) {
        number.valid = key[0] != 0;
        std::memcpy(&number.value, key.data() + 1, sizeof number.value);
    }
    return number;
}
}  // namespace

BatchSortByColumn::BatchSortByColumn(unsigned int column, std::string separators, short columnType, uint64_t reserved)
    : column_(column != 0 ? column : 1),
      separators_(std::move(separators)),
      columnType_(columnType),
      reserved_(reserved) {}

bool BatchSortByColumn::usesKeys() const { return columnType_ == 1 || columnType_ == 2 || columnType_ == 3; }

const std::string& BatchSortByColumn::columnText(std::string_view line) {
    CYuString(std::string(line)).Tokenize(tokens_, '"', '"', '\\', separators_.c_str(), true);
    return tokens_.size() >= column_ ? tokens_[column_ - 1].str() : kEmpty;
}

void BatchSortByColumn::makeKey(std::string_view line, std::string& key) {
    key.clear();
    if (!usesKeys()) return;
    const std::string& text = columnText(line);
    if (columnType_ == 3) {
        key = text;
        return;
    }
    NumberKey number;
    if (columnType_ == 1) {
        unsigned long value = 0;
        number.valid = std::sscanf(text.c_str(), "%lu", &value) == 1;
        number.value = number.valid ? value : 0;
    } else {
        number.valid = std::sscanf(text.c_str(), "%" SCNx64, &number.value) == 1;
        if (!number.valid) number.value = 0;
    }
    key.push_back(number.valid ? 1 : 0);
    key.append(reinterpret_cast<const char*>(&number.value), sizeof number.value);
}

int BatchSortByColumn::compare(std::string_view a, std::string_view b) {
    makeKey(a, keyA_);
    makeKey(b, keyB_);
    return compareKeyed(a, keyA_, b, keyB_);
}

int BatchSortByColumn::compareKeyed(std::string_view a, std::string_view keyA, std::string_view b,
                                    std::string_view keyB) {
    // string_view compares bytes as unsigned characters.
    if (!usesKeys()) return isAscending() ? sign(a.compare(b)) : -sign(a.compare(b));
    if (columnType_ == 3) {
        const int c = sign(keyA.compare(keyB));
        return isAscending() ? c : -c;
    }
    // A column that is not a number counts as 0, and every comparison that meets it says so.
    const NumberKey numberA = numberOf(keyA), numberB = numberOf(keyB);
    if (!numberA.valid) log_.debug(1, columnType_ == 1 ? "Invalid ul1" : "Invalid ull1");
    if (!numberB.valid) log_.debug(1, columnType_ == 1 ? "Invalid ul2" : "Invalid ull2");
    // Different numbers decide; the larger sorts later when ascending, first otherwise. Equal
    // numbers: the whole lines in ascending byte order.
    if (numberA.value == numberB.value) return sign(a.compare(b));
    return (numberA.value > numberB.value) == isAscending() ? 1 : -1;
}
