// A client of the domain, looked up by name in the section [~Machines\<name>].
#pragma once

#include <memory>
#include <string>

#include "Platform/KRClientProperties.h"
#include "Platform/SettingsStore.h"

class KRClient {
public:
    KRClient(const char* name, bool refresh);

    // 0 when the client is known (its section has entries), else ENOENT.
    int lookup();
    // ClientId; 0 on success, ENOENT when unknown or missing.
    int getClientId(unsigned long& id) const;
    // The client's properties, or null before a successful lookup. Owned by this object.
    KRClientProperties* getClientProperties();

private:
    std::string name_;
    SettingsStore settings_;
    bool found_ = false;
    std::unique_ptr<KRClientProperties> properties_;
};
