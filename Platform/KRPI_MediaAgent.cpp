#include "Platform/KRPI_MediaAgent.h"

std::optional<std::string> KRPI_MediaAgent::clientValue(const char* client, const char* name) const {
    auto value = text(clientSection(client), name);
    return value ? value : text("MediaAgent", name);
}

const char* KRPI_MediaAgent::getIndexCacheDirectory(const char* client) {
    return keep(clientValue(client, "IndexCacheDirectory"));
}

bool KRPI_MediaAgent::getIndexCacheDirectory(const char* client, const char* valueName, std::string& path) {
    if (valueName == nullptr) return false;
    auto value = clientValue(client, valueName);
    if (!value) return false;
    path = *value;
    return true;
}

int KRPI_MediaAgent::getIndexingUserName(const char* client, char* buffer, size_t size) {
    return fill(buffer, size, clientValue(client, "IndexingUser").value_or("")) ? 1 : 0;
}

int KRPI_MediaAgent::getIndexingUserPwd(const char* client, char* buffer, size_t size) {
    return fill(buffer, size, clientValue(client, "IndexingPassword").value_or("")) ? 1 : 0;
}
