#include "Platform/KRClient.h"

#include <errno.h>

#include <climits>

#include "Platform/PlatformEnv.h"

namespace {
std::string sectionOf(const std::string& name) { return "~Machines\\" + name; }
}  // namespace

int KRClientProperties::give(const std::optional<long long>& source, int* value, int /*reserved*/) {
    if (!source || value == nullptr || *source < INT_MIN || *source > INT_MAX) return ENOENT;
    *value = static_cast<int>(*source);
    return 0;
}

KRClient::KRClient(const char* name, bool /*refresh: always read afresh*/)
    : name_(name != nullptr ? name : ""), settings_(PlatformEnv::configPath()) {}

int KRClient::lookup() {
    found_ = !name_.empty() && settings_.hasSection(sectionOf(name_));
    return found_ ? 0 : ENOENT;
}

int KRClient::getClientId(unsigned long& id) const {
    if (name_.empty()) return ENOENT;
    auto value = settings_.getInteger(sectionOf(name_), "ClientId");
    if (!value || *value <= 0) return ENOENT;
    id = static_cast<unsigned long>(*value);
    return 0;
}

KRClientProperties* KRClient::getClientProperties() {
    if (!found_) return nullptr;
    if (!properties_) {
        const std::string section = sectionOf(name_);
        properties_ = std::make_unique<KRClientProperties>(settings_.getInteger(section, "DiskFullThreshold"),
                                                           settings_.getInteger(section, "CacheAgingThreshold"));
    }
    return properties_.get();
}
