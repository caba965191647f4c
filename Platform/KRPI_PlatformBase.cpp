#include "Platform/KRPI_PlatformBase.h"

const char* KRPI_PlatformBase::getTalServerHostName() { return keep(text(typeSection(), "TalServerHostName")); }

const char* KRPI_PlatformBase::getHalcyTempDirectory() {
    auto dir = text(typeSection(), "TempDirectory");
    return dir ? keep(dir) : KRPI_Base::getHalcyTempDirectory();
}

int KRPI_PlatformBase::invalidKRPlatform() const {
    switch (platformType_) {
        case KRS_PLATFORMTYPE_TALCLIENT: return isPlatformTypeTC() ? 0 : 1;
        case KRS_PLATFORMTYPE_MEDIAAGENT: return isPlatformTypeMA() ? 0 : 1;
        case KRS_PLATFORMTYPE_TALSERVER: return isPlatformTypeTS() ? 0 : 1;
        default: return 1;
    }
}
