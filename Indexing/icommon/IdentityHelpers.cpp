#include "Indexing/icommon/IdentityHelpers.h"

#include <cerrno>
#include <iterator>

#include "Indexing/icommon/SafeFileOps.h"
#include "Indexing/icommon/TDebuggable.h"
#include "Indexing/idxport/FsPrimitives.h"
#include "Platform/JobControlTypes.h"
#include "Platform/KRClient.h"
#include "Platform/KRPI_Base.h"
#include "Platform/KRPI_Focus.h"
#include "Platform/KRPI_PlatformBase.h"
#include "Platform/KRPlatformInfo.h"

namespace {
// The host name buffer of getMyHostName.
constexpr size_t kHostNameSize = 256;

// A debuggable for one free function's log lines.
class FunctionLog : public TDebuggable {
public:
    explicit FunctionLog(const char* prefix) { setDebugPrefix(prefix); }
};

bool isEmpty(const char* text) { return text == nullptr || *text == '\0'; }
}  // namespace

std::string getMyHostName(const char* clientName, bool clientNameOnly, bool mangled) {
    std::string name;
    if (!isEmpty(clientName)) {
        name = clientName;
    } else {
        const char* focusClient = KRPI_Focus::getFocusClientName(false);
        if (!isEmpty(focusClient)) {
            name = focusClient;
        } else {
            KRPlatformInfo info;
            info.setFocus(KRPI_Focus::getFocus());
            name = info.getPhysicalMachine();
            FunctionLog log("MYHOSTNAME");
            log.debug(1, "WARNING: no focus client name - defaulting to physical machine '%s'", name.c_str());
        }
    }
    if (clientNameOnly) return name;

    KRPlatformInfo info;
    info.setFocus(KRPI_Focus::getFocus());
    char host[kHostNameSize] = {};
    int found = mangled ? info.getClientHostNameMangled(name.c_str(), host, sizeof host)
                        : info.getClientHostName(name.c_str(), host, sizeof host);
    if (found != 0) return host;
    FunctionLog log("MYHOSTNAME");
    log.debug(1, "ERROR: cannot determine %shostname for '%s'", mangled ? "mangled " : "", name.c_str());
    return std::string();
}

long getMyClientId(const char* clientName) {
    std::string name = getMyHostName(clientName, true, false);
    if (name.empty()) {
        FunctionLog log("MYCLIENTID");
        log.debug(1, "getMyClientName (short name) failed\n");
        return 0;
    }
    KRClient client(name.c_str(), false);
    unsigned long id = 0;
    int code = client.getClientId(id);
    if (code != 0) {
        FunctionLog log("MYCLIENTID");
        log.debug(1, "getClientId failed, code %d, client name '%s'\n", code, name.c_str());
        return 0;
    }
    if (id == 0) {
        FunctionLog log("MYCLIENTID");
        log.debug(1, "getClientId failed, zero value, client name '%s'\n", name.c_str());
        return 0;
    }
    return static_cast<long>(id);
}

std::string getMyTempDir() {
    KRPI_Base base;
    base.setFocus(KRPI_Focus::getFocus());
    const char* configured = base.getHalcyTempDirectory();
    if (isEmpty(configured)) return std::string();
    std::string dir = configured;
    if (!fsIsDirectory(dir.c_str()) && recursiveMkdir(dir.c_str(), 0755) != 0) {
        // Handing out a path that is no directory would only move the failure to the caller's
        // first file in it.
        int error = errno;
        FunctionLog log("MYTEMPDIR");
        log.debug(1, "ERROR: cannot create temporary directory '%s', errno %d\n", dir.c_str(), error);
        return std::string();
    }
    return dir;
}

std::string getTalServe() {
    static constexpr KRS_PLATFORMTYPE kTypes[] = {KRS_PLATFORMTYPE_TALSERVER, KRS_PLATFORMTYPE_MEDIAAGENT,
                                                  KRS_PLATFORMTYPE_TALCLIENT};
    FunctionLog log("getTalServe");
    const std::string focus = KRPI_Focus::getFocus();
    for (size_t i = 0; i < std::size(kTypes); ++i) {
        KRPI_PlatformBase platform(static_cast<unsigned long>(kTypes[i]));
        platform.setFocus(focus.c_str());
        const char* name = platform.getTalServerHostName();
        if (name != nullptr) return name;
        if (i + 1 < std::size(kTypes))
            log.debug(1, "cannot obtain TalServe name for platform %d - trying next platform\n", kTypes[i]);
        else
            log.debug(1, "cannot obtain TalServe name for platform %d - giving up\n", kTypes[i]);
    }
    return std::string();
}
