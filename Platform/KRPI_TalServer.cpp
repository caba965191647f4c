#include "Platform/KRPI_TalServer.h"

const char* KRPI_TalServer::getIndexCacheDirectory(const char* /*client*/) {
    return keep(text("TalServer", "IndexCacheDirectory"));
}

unsigned long KRPI_TalServer::getTalCellId() const {
    auto id = integer("TalServer", "TalCellId");
    return id && *id > 0 ? static_cast<unsigned long>(*id) : 0;
}
