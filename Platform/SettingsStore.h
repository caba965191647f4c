// The settings of one product instance: an INI file whose sections are the keys ("MediaAgent",
// "~MediaAgent", "~Machines\<client>", ...) and whose entries are the value names. Section and
// entry names are compared ignoring case. A missing file, entry or malformed line is a missing
// value, never an error. See docs/configuration.md.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

class SettingsStore {
public:
    // Reads the file now; a missing or unreadable file gives an empty store.
    explicit SettingsStore(const std::string& path);
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
    // file, fsync, rename) under an exclusive lock on "<file>.lock", so that concurrent
    // writers of different entries lose neither. Other lines and comments are kept.
    static bool setText(const std::string& path, const std::string& section, const std::string& name,
                        const std::string& value);

private:
    static std::string keyOf(const std::string& section, const std::string& name);
    static int onEntry(void* user, const char* section, const char* name, const char* value);

    std::string path_;
    bool fileRead_ = false;
    std::map<std::string, std::string> values_;
};
