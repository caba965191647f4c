#include "Platform/KRPI_Focus.h"

#include <string>

#include "Platform/PlatformEnv.h"
#include "Platform/SettingsStore.h"

namespace {
thread_local std::string focusName;
thread_local std::string clientName;
}  // namespace

const char* KRPI_Focus::getFocus() {
    focusName = PlatformEnv::instanceName();
    return focusName.c_str();
}

const char* KRPI_Focus::getFocusClientName(bool /*refresh: the settings are read on every call*/) {
    std::string focus = PlatformEnv::instanceName();
    if (focus.empty()) return nullptr;
    auto name = SettingsStore(PlatformEnv::configPathFor(focus)).getText("Focus", "ClientName");
    if (!name) return nullptr;
    clientName = *name;
    return clientName.c_str();
}

int KRPI_Focus::AmIAService() {
    std::string focus = PlatformEnv::instanceName();
    if (focus.empty()) return 0;
    return SettingsStore(PlatformEnv::configPathFor(focus)).getBool("Focus", "Service").value_or(false) ? 1 : 0;
}
