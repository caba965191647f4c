#include "Platform/KrNetMagneticMedia.h"

#include <errno.h>

#include <mutex>
#include <sstream>

#include "Platform/EvDebug.h"
#include "Platform/SettingsStore.h"

namespace {
std::mutex logonMutex;
std::string logonUser;

bool isRefused(const std::string& user) {
    auto refused = SettingsStore::current().getText("Logon", "RefusedUsers");
    if (!refused) return false;
    std::istringstream list(*refused);
    for (std::string name; std::getline(list, name, ',');) {
        size_t first = name.find_first_not_of(' ');
        size_t last = name.find_last_not_of(' ');
        if (first != std::string::npos && name.substr(first, last - first + 1) == user) return true;
    }
    return false;
}
}  // namespace

bool KrNetMagneticMedia::impersonateUser(const char* caller, const char* user, const char* /*password*/,
                                         unsigned long& error, bool /*refresh*/) {
    EvDebug log;
    if (user == nullptr || *user == '\0') {
        error = EINVAL;
        return false;
    }
    if (isRefused(user)) {
        error = EACCES;
        log.Debug("LOGON", "%s: logon as '%s' refused\n", caller != nullptr ? caller : "", user);
        return false;
    }
    std::lock_guard<std::mutex> guard(logonMutex);
    logonUser = user;
    error = 0;
    log.Debug("LOGON", "%s: logged on as '%s' (handleless)\n", caller != nullptr ? caller : "", user);
    return true;
}

std::string KrNetMagneticMedia::loggedOnUser() {
    std::lock_guard<std::mutex> guard(logonMutex);
    return logonUser;
}

int KRImpersonateLoggedOnUser(KRLogonHandle /*handle*/) {
    errno = EBADF;
    return 0;
}

int KRCloseLogonHandle(KRLogonHandle /*handle*/) {
    errno = EBADF;
    return 0;
}
