#include "Platform/KRPI_Object.h"

#include <cstring>

#include "Platform/PlatformEnv.h"

int KRPI_Object::setFocus(const char* focus) {
    if (focus == nullptr || *focus == '\0') return 0;
    focus_ = focus;
    settings_.emplace(PlatformEnv::configPathFor(focus_));
    return 1;
}

std::optional<std::string> KRPI_Object::text(const std::string& section, const std::string& name) const {
    if (!focused()) return std::nullopt;
    return settings_->getText(section, name);
}

std::optional<int64_t> KRPI_Object::integer(const std::string& section, const std::string& name) const {
    if (!focused()) return std::nullopt;
    return settings_->getInteger(section, name);
}

bool KRPI_Object::flag(const std::string& section, const std::string& name) const {
    return focused() && settings_->getBool(section, name).value_or(false);
}

std::string KRPI_Object::clientSection(const char* client) {
    return std::string("~Machines\\") + (client != nullptr ? client : "");
}

bool KRPI_Object::fill(char* buffer, size_t size, const std::string& text) {
    if (buffer == nullptr || text.size() + 1 > size) return false;
    memcpy(buffer, text.c_str(), text.size() + 1);
    return true;
}
