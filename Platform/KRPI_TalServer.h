// The central server role: its index cache directory and the domain id.
#pragma once

#include "Platform/KRPI_PlatformBase.h"

class KRPI_TalServer : public KRPI_PlatformBase {
public:
    KRPI_TalServer() : KRPI_PlatformBase(KRS_PLATFORMTYPE_TALSERVER) {}

    // [TalServer] IndexCacheDirectory, or null (the same for every client).
    const char* getIndexCacheDirectory(const char* client);
    // [TalServer] TalCellId; 0 when none is configured.
    unsigned long getTalCellId() const;
};
