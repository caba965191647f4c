// Which roles of the product are installed on this machine, and its temporary directory.
#pragma once

#include <string>

#include "Platform/JobControlTypes.h"
#include "Platform/KRPI_Object.h"

class KRPI_Base : public KRPI_Object {
public:
    // [Platform] TalServer, TalClient, MediaAgent: installed roles (booleans, default no).
    bool isPlatformTypeTS() const { return flag("Platform", "TalServer"); }
    bool isPlatformTypeTC() const { return flag("Platform", "TalClient"); }
    bool isPlatformTypeMA() const { return flag("Platform", "MediaAgent"); }
    // [Platform] TempDirectory, or null. Valid while the object lives.
    const char* getHalcyTempDirectory();

protected:
    const char* keep(const std::optional<std::string>& value);

private:
    std::string kept_;
};
