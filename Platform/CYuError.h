// An error value of the utilities library: empty, or a code with its text.
#pragma once

#include <string>

class CYuError {
public:
    CYuError() = default;
    CYuError(int code, std::string text) : code_(code), text_(std::move(text)), set_(true) {}

    bool IsErrorSet() const { return set_; }
    std::string ConvertToString() const { return set_ ? text_ : std::string(); }
    int code() const { return code_; }

private:
    int code_ = 0;
    std::string text_;
    bool set_ = false;
};
