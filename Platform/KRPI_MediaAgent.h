// The media server role: index cache directories and the account that reaches them. A value
// of [~Machines\<client>] wins over the same value of [MediaAgent], which serves every client.
#pragma once

#include <cstddef>
#include <string>

#include "Platform/KRPI_PlatformBase.h"

class KRPI_MediaAgent : public KRPI_PlatformBase {
public:
    KRPI_MediaAgent() : KRPI_PlatformBase(KRS_PLATFORMTYPE_MEDIAAGENT) {}

    // IndexCacheDirectory, or null. Valid until the next call.
    const char* getIndexCacheDirectory(const char* client);
    // Any path value (such as "sLOCALINDEXCACHEPATH"); true when found.
    bool getIndexCacheDirectory(const char* client, const char* valueName, std::string& path);
    // IndexingUser / IndexingPassword into buffer (empty when none is configured); non-zero
    // unless the value does not fit.
    int getIndexingUserName(const char* client, char* buffer, size_t size);
    int getIndexingUserPwd(const char* client, char* buffer, size_t size);

private:
    std::optional<std::string> clientValue(const char* client, const char* name) const;
};
