// Points the platform stand-ins at files of one test: a settings file written from the given
// INI text, a log directory and a lock directory, all in a fresh temporary directory. The
// environment is put back when the fixture goes.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "tests/support/TempDir.h"

class SettingsFixture {
public:
    explicit SettingsFixture(const std::string& iniText = "");
    ~SettingsFixture();

    void write(const std::string& iniText);
    const std::string& configPath() const { return configPath_; }
    const std::string& logDir() const { return logDir_; }  // ends in '/'
    const std::string& lockDir() const { return lockDir_; }
    const TempDir& dir() const { return dir_; }
    std::string journalText() const;

private:
    void setEnv(const char* name, const std::string& value);

    TempDir dir_;
    std::string configPath_;
    std::string logDir_;
    std::string lockDir_;
    std::map<std::string, std::optional<std::string>> saved_;
};
