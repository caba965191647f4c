// Debug settings of the instance.
#pragma once

#include "Platform/KRPI_Object.h"

class KRPI_Krd : public KRPI_Object {
public:
    // [Debug] IndexDebug: the debug level mask of index code (decimal or 0x hex); 0 when none.
    unsigned long getIndexDebug(bool refresh) const;
};
