#include "Indexing/icommon/BatchSortByColumn.h"

#include <cinttypes>
#include <cstdio>

namespace {
const std::string kEmpty;

int sign(int c) { return c < 0 ? -1 : c > 0 ? 1 : 0; }
}  // namespace

BatchSortByColumn::BatchSortByColumn(unsigned int column, std::string separators, short columnType, uint64_t reserved)
    : column_(column != 0 ? column : 1),
      separators_(std::move(separators)),
      columnType_(columnType),
      reserved_(reserved) {}

const std::string& BatchSortByColumn::columnText(std::string_view line, std::vector<CYuString>& tokens) {
    CYuString(std::string(line)).Tokenize(tokens, '"', '"', '\\', separators_.c_str(), true);
    return tokens.size() >= column_ ? tokens[column_ - 1].str() : kEmpty;
}

int BatchSortByColumn::compare(std::string_view a, std::string_view b) {
    // string_view compares bytes as unsigned characters.
    const int wholeLines = sign(a.compare(b));
    if (columnType_ != 1 && columnType_ != 2 && columnType_ != 3) return isAscending() ? wholeLines : -wholeLines;

    const std::string& textA = columnText(a, tokensA_);
    const std::string& textB = columnText(b, tokensB_);
    if (columnType_ == 3) {
        const int c = sign(textA.compare(textB));
        return isAscending() ? c : -c;
    }

    // Different numbers decide; the larger sorts later when ascending, first otherwise.
    auto byValue = [this, wholeLines](auto valueA, auto valueB) {
        if (valueA == valueB) return wholeLines;
        return (valueA > valueB) == isAscending() ? 1 : -1;
    };
    if (columnType_ == 1) {
        unsigned long valueA = 0, valueB = 0;
        if (std::sscanf(textA.c_str(), "%lu", &valueA) != 1) {
            log_.debug(1, "Invalid ul1");
            valueA = 0;
        }
        if (std::sscanf(textB.c_str(), "%lu", &valueB) != 1) {
            log_.debug(1, "Invalid ul2");
            valueB = 0;
        }
        return byValue(valueA, valueB);
    }
    uint64_t valueA = 0, valueB = 0;
    if (std::sscanf(textA.c_str(), "%" SCNx64, &valueA) != 1) {
        log_.debug(1, "Invalid ull1");
        valueA = 0;
    }
    if (std::sscanf(textB.c_str(), "%" SCNx64, &valueB) != 1) {
        log_.debug(1, "Invalid ull2");
        valueB = 0;
    }
    return byValue(valueA, valueB);
}
