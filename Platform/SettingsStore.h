// The settings of one product instance: an INI file whose sections are the keys ("MediaAgent",
// "~MediaAgent", "~Machines\<client>", ...) and whose entries are the value names. Section and
// entry names are compared ignoring case; lines may be of any length; of repeated entries the
// last one counts. A missing file, entry or malformed line is a missing value, never an error.
// See docs/configuration.md for the syntax.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

class SettingsStore {
public:
    // Reads the file now; a missing or unreadable file gives an empty store (an unreadable
    // one is logged).
    explicit SettingsStore(const std::string& path);
    // The settings of an INI text, as if read from a file.
    static SettingsStore fromText(const std::string& text);
    // The current instance's file (PlatformEnv::configPath()).
    static SettingsStore current();

    bool fileRead() const { return fileRead_; }
    const std::string& path() const { return path_; }

    // True when the file has the section with at least one entry.
    bool hasSection(const std::string& section) const;
    // Every entry of a section (names in lower case), in name order.
    std::map<std::string, std::string> entries(const std::string& section) const;
    std::optional<std::string> getText(const std::string& section, const std::string& name) const;
    // Decimal, or hexadecimal with 0x; anything else is logged and counts as missing.
    std::optional<int64_t> getInteger(const std::string& section, const std::string& name) const;
    // 1/0, true/false, yes/no, on/off; anything else is logged and counts as missing.
    std::optional<bool> getBool(const std::string& section, const std::string& name) const;

    // Sets one entry in the file: the file is re-read and rewritten atomically (temporary
    // file with the file's mode and owner, fsync, rename) under an exclusive lock on
    // "<file>.lock", so that concurrent writers of different entries lose neither. The entry
    // replaced is the one the reader reads (the last of that name in the section); other lines
    // and comments are kept. False, with the file untouched, when it exists but cannot be read,
    // or when the section, name or value would not read back as given (a line feed, a "[" or
    // "]" in the section, "=", ":" or a leading ";" or "#" in the name, blanks at either end,
    // a " ;" in the value).
    static bool setText(const std::string& path, const std::string& section, const std::string& name,
                        const std::string& value);

private:
    SettingsStore() = default;
    void parse(std::string_view text);
    static std::string keyOf(const std::string& section, const std::string& name);

    std::string path_;
    bool fileRead_ = false;
    std::map<std::string, std::string> values_;
};
