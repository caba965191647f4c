#include "Platform/ApplicationId.h"

#include <errno.h>

#include "Platform/PlatformEnv.h"

int AppNamedPart::getName(std::string& name) const {
    if (name_.empty()) return EINVAL;
    name = name_;
    return 0;
}

ApplicationId::ApplicationId(unsigned long talCell, unsigned long app, bool /*refresh*/)
    : section_("Applications\\" + std::to_string(talCell) + "\\" + std::to_string(app)),
      settings_(PlatformEnv::configPath()) {}

int ApplicationId::getApplicationId() {
    found_ = settings_.hasSection(section_);
    return found_ ? 0 : ENOENT;
}

template <typename Part>
const Part* ApplicationId::part(std::unique_ptr<Part>& slot, const char* entry) {
    if (!found_) return nullptr;
    if (!slot) {
        auto name = settings_.getText(section_, entry);
        if (!name) return nullptr;
        slot = std::make_unique<Part>(*name);
    }
    return slot.get();
}

const AppClient* ApplicationId::getClient() { return part(client_, "Client"); }
const AppType* ApplicationId::getApplicationType() { return part(type_, "Type"); }
const AppInstance* ApplicationId::getInstance() { return part(instance_, "Instance"); }
const AppBackupSet* ApplicationId::getBackupSet() { return part(backupSet_, "BackupSet"); }
const AppSubclient* ApplicationId::getSubclient() { return part(subclient_, "Subclient"); }

int ApplicationId::isInstanceAvailable(bool& available) {
    if (!found_) return ENOENT;
    available = settings_.getText(section_, "Instance").has_value();
    return 0;
}
