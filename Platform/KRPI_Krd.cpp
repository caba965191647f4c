#include "Platform/KRPI_Krd.h"

unsigned long KRPI_Krd::getIndexDebug(bool /*refresh: the settings are read at setFocus*/) const {
    auto mask = integer("Debug", "IndexDebug");
    return mask && *mask > 0 ? static_cast<unsigned long>(*mask) : 0;
}
