// What every platform information object shares: it is pointed at a product instance (the
// focus) with setFocus, which reads that instance's settings, and it answers from them.
// Queries before a successful setFocus find nothing.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "Platform/SettingsStore.h"

class KRPI_Object {
public:
    virtual ~KRPI_Object() = default;

    // Non-zero on success: the focus names an instance (is not empty).
    int setFocus(const char* focus);
    const std::string& focus() const { return focus_; }

protected:
    bool focused() const { return settings_.has_value(); }
    std::optional<std::string> text(const std::string& section, const std::string& name) const;
    std::optional<int64_t> integer(const std::string& section, const std::string& name) const;
    bool flag(const std::string& section, const std::string& name) const;
    // "~Machines\<client>": the section of one client's values.
    static std::string clientSection(const char* client);
    // Copies text and its terminating zero into buffer; false when it does not fit.
    static bool fill(char* buffer, size_t size, const std::string& text);

private:
    std::string focus_;
    std::optional<SettingsStore> settings_;
};
