// One installed role (platform type) of the product: its central server and temporary directory.
#pragma once

#include "Platform/KRPI_Base.h"

class KRPI_PlatformBase : public KRPI_Base {
public:
    explicit KRPI_PlatformBase(unsigned long platformType) : platformType_(platformType) {}

    unsigned long platformType() const { return platformType_; }
    // [Platform\<type>] TalServerHostName, or null. Valid until the next call on the object.
    const char* getTalServerHostName();
    // [Platform\<type>] TempDirectory, else [Platform] TempDirectory, or null.
    const char* getHalcyTempDirectory();
    // 0 when this role is installed ([Platform] TalClient / MediaAgent / TalServer), else 1.
    int invalidKRPlatform() const;

protected:
    std::string typeSection() const { return "Platform\\" + std::to_string(platformType_); }

private:
    unsigned long platformType_;
};
