#include "Platform/CYuString.h"

#include <cstring>

int CYuString::Tokenize(std::vector<CYuString>& tokens, char openQuote, char closeQuote, char escape,
                        const char* separators, bool keepEmptyFields) const {
    tokens.clear();
    auto isSeparator = [separators](char c) {
        return separators != nullptr && c != '\0' && std::strchr(separators, c) != nullptr;
    };
    const bool quoting = openQuote != '\0' && closeQuote != '\0';
    std::string field;
    bool quoted = false;      // inside a quoted section
    bool hadQuotes = false;   // the current field had a quoted section, possibly empty
    bool hasContent = false;  // the current field has characters (or quotes)
    auto finishField = [&]() {
        if (keepEmptyFields || hasContent || hadQuotes) tokens.emplace_back(std::move(field));
        field.clear();
        hadQuotes = hasContent = false;
    };

    const size_t size = text_.size();
    for (size_t i = 0; i < size; ++i) {
        char c = text_[i];
        if (escape != '\0' && c == escape) {
            if (i + 1 < size) ++i;  // the next character, whatever it is, is literal
            field += text_[i];
            hasContent = true;
        } else if (quoted) {
            if (c == closeQuote)
                quoted = false;
            else
                field += c;
        } else if (quoting && c == openQuote) {
            quoted = hadQuotes = true;
        } else if (isSeparator(c)) {
            finishField();
        } else {
            field += c;
            hasContent = true;
        }
    }
    finishField();
    return static_cast<int>(tokens.size());
}
