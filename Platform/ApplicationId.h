// The names that make up an application's printable name, from the section
// [Applications\<talCell>\<app>] with the entries Client, Type, Instance (optional), BackupSet
// and Subclient.
#pragma once

#include <memory>
#include <string>

#include "Platform/SettingsStore.h"

// One named part of an application. A name query returns 0, or EINVAL when the name is empty.
class AppNamedPart {
public:
    explicit AppNamedPart(std::string name) : name_(std::move(name)) {}
    int getName(std::string& name) const;

private:
    std::string name_;
};

struct AppClient : AppNamedPart {
    using AppNamedPart::AppNamedPart;
    int getClientName(std::string& name) const { return getName(name); }
};
struct AppType : AppNamedPart {
    using AppNamedPart::AppNamedPart;
    int getAppTypeName(std::string& name) const { return getName(name); }
};
struct AppInstance : AppNamedPart {
    using AppNamedPart::AppNamedPart;
    int getInstanceName(std::string& name) const { return getName(name); }
};
struct AppBackupSet : AppNamedPart {
    using AppNamedPart::AppNamedPart;
    int getBackupSetName(std::string& name) const { return getName(name); }
};
struct AppSubclient : AppNamedPart {
    using AppNamedPart::AppNamedPart;
    int getSubclientName(std::string& name) const { return getName(name); }
};

class ApplicationId {
public:
    ApplicationId(unsigned long talCell, unsigned long app, bool refresh = false);

    // 0 when the application is known, ENOENT otherwise.
    int getApplicationId();
    // The parts, owned by this object; null when the entry is missing or the lookup failed.
    const AppClient* getClient();
    const AppType* getApplicationType();
    // 0 and whether an Instance entry exists; ENOENT when the application is unknown.
    int isInstanceAvailable(bool& available);
    const AppInstance* getInstance();
    const AppBackupSet* getBackupSet();
    const AppSubclient* getSubclient();

private:
    template <typename Part>
    const Part* part(std::unique_ptr<Part>& slot, const char* entry);

    std::string section_;
    SettingsStore settings_;
    bool found_ = false;
    std::unique_ptr<AppClient> client_;
    std::unique_ptr<AppType> type_;
    std::unique_ptr<AppInstance> instance_;
    std::unique_ptr<AppBackupSet> backupSet_;
    std::unique_ptr<AppSubclient> subclient_;
};
