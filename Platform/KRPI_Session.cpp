#include "Platform/KRPI_Session.h"

#include "Platform/PlatformEnv.h"

std::string KRPI_Session::getHostName() const {
    if (!focused()) return {};
    return text("Session", "HostName").value_or(PlatformEnv::machineName());
}
