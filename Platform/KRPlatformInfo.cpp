#include "Platform/KRPlatformInfo.h"

#include <cctype>
#include <climits>

#include "Platform/PlatformEnv.h"

bool KRPlatformInfo::getRegInt(const char* key, const char* value, int* result) const {
    if (key == nullptr || value == nullptr || result == nullptr) return false;
    auto number = integer(key, value);
    if (!number || *number < INT_MIN || *number > INT_MAX) return false;
    *result = static_cast<int>(*number);
    return true;
}

bool KRPlatformInfo::setRegInt(const char* key, const char* value, int number) {
    if (!focused() || key == nullptr || value == nullptr) return false;
    return SettingsStore::setText(PlatformEnv::configPathFor(focus()), key, value, std::to_string(number));
}

int KRPlatformInfo::getNumber(const char* key, const char* value, unsigned long* result) const {
    if (key == nullptr || value == nullptr || result == nullptr) return 0;
    auto number = integer(key, value);
    if (!number || *number < 0) return 0;
    *result = static_cast<unsigned long>(*number);
    return 1;
}

int KRPlatformInfo::getString(const char* key, const char* value, char* buffer, int* length) const {
    if (key == nullptr || value == nullptr || length == nullptr || *length <= 0) return 0;
    auto found = text(key, value);
    if (!found) return 0;
    if (!fill(buffer, static_cast<size_t>(*length), *found)) {
        *length = static_cast<int>(found->size() + 1);
        return 0;
    }
    return 1;
}

int KRPlatformInfo::getClientHostName(const char* client, char* buffer, size_t size) const {
    auto host = text(clientSection(client), "HostName");
    return host && !host->empty() && fill(buffer, size, *host) ? 1 : 0;
}

int KRPlatformInfo::getClientHostNameMangled(const char* client, char* buffer, size_t size) const {
    std::optional<std::string> mangled = text(clientSection(client), "MangledHostName");
    if (!mangled) {
        mangled = text(clientSection(client), "HostName");
        if (!mangled) return 0;
        for (char& c : *mangled) {
            unsigned char u = static_cast<unsigned char>(c);
            c = (std::isalnum(u) || c == '-' || c == '.') ? static_cast<char>(std::tolower(u)) : '_';
        }
    }
    return !mangled->empty() && fill(buffer, size, *mangled) ? 1 : 0;
}

const char* KRPlatformInfo::getPhysicalMachine() {
    physicalMachine_ = text("Platform", "PhysicalMachine").value_or(PlatformEnv::machineName());
    return physicalMachine_.c_str();
}
