#include "tests/support/SettingsFixture.h"

#include <stdlib.h>
#include <sys/stat.h>

#include "Platform/EventJournal.h"

SettingsFixture::SettingsFixture(const std::string& iniText) {
    configPath_ = dir_.file("instance.ini");
    logDir_ = dir_.file("log") + "/";
    lockDir_ = dir_.file("locks");
    mkdir(logDir_.c_str(), 0755);
    mkdir(lockDir_.c_str(), 0755);
    write(iniText);
    setEnv("VORNICA_CONFIG", configPath_);
    setEnv("VORNICA_DEBUG_DIR", logDir_);
    setEnv("VORNICA_LOCK_DIR", lockDir_);
    EventJournal::closeJournal();
}

SettingsFixture::~SettingsFixture() {
    EventJournal::closeJournal();
    for (const auto& [name, value] : saved_) {
        if (value)
            setenv(name.c_str(), value->c_str(), 1);
        else
            unsetenv(name.c_str());
    }
}

void SettingsFixture::write(const std::string& iniText) { writeFileText(configPath_, iniText); }

std::string SettingsFixture::journalText() const { return readFileText(EventJournal::journalPath()); }

void SettingsFixture::setEnv(const char* name, const std::string& value) {
    if (!saved_.count(name)) {
        const char* old = getenv(name);
        saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    setenv(name, value.c_str(), 1);
}
