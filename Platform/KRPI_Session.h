// The session layer's view of this machine.
#pragma once

#include <string>

#include "Platform/KRPI_Object.h"

class KRPI_Session : public KRPI_Object {
public:
    // [Session] HostName, else this machine's host name; empty before setFocus.
    std::string getHostName() const;
};
