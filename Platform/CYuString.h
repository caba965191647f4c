// A string of the utilities library: a text with a quoted-field tokenizer.
#pragma once

#include <string>
#include <vector>

class CYuString {
public:
    CYuString() = default;
    CYuString(const char* text) : text_(text != nullptr ? text : "") {}  // a null text is empty
    CYuString(std::string text) : text_(std::move(text)) {}

    const char* c_str() const { return text_.c_str(); }
    const std::string& str() const { return text_; }
    size_t length() const { return text_.size(); }
    bool operator==(const CYuString& other) const = default;

    // Splits the text into fields and replaces the contents of tokens with them; returns the
    // number of fields.
    //
    // - A field ends at any character of separators (null or empty: the whole text is one field).
    // - openQuote starts a quoted section anywhere in a field and closeQuote ends it; the quote
    //   characters are dropped and separators inside are ordinary characters. A text that ends
    //   inside a quoted section takes the rest of the text into the field, as if it were closed
    //   at the end.
    // - escape makes the next character literal, inside and outside quotes (a separator, a quote
    //   or the escape itself); the escape character is dropped. An escape at the very end of the
    //   text is kept as it is.
    // - An escape character of '\0' switches escapes off; a quote character of '\0' (either one)
    //   switches quoting off.
    //
    // keepEmptyFields true gives delimited records, as in CSV: every separator ends a field, so
    // n separators give n + 1 fields, empty ones included ("a,,c" gives a, "", c; "" gives one
    // empty field; "a," gives a and ""). Column numbers then count exactly as the separators do.
    // false gives word splitting: runs of separators count as one and separators at the ends
    // are ignored, so only non-empty fields come out, except one written as quotes ("" or ''),
    // which is kept as an empty field.
    int Tokenize(std::vector<CYuString>& tokens, char openQuote, char closeQuote, char escape,
                 const char* separators, bool keepEmptyFields) const;

private:
    std::string text_;
};
