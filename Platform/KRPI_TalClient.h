// The client role: where a client keeps its job results.
#pragma once

#include <cstddef>

#include "Platform/KRPI_PlatformBase.h"

class KRPI_TalClient : public KRPI_PlatformBase {
public:
    KRPI_TalClient() : KRPI_PlatformBase(KRS_PLATFORMTYPE_TALCLIENT) {}

    // [~Machines\<client>] JobResultsDirectory, or null. Valid until the next call.
    const char* getJobResultsDirectory(const char* client);
    // Fills the directory and the account that reaches it (JobResultsUser, JobResultsPassword;
    // empty when none). False when there is no directory or a value does not fit in size.
    bool getJobResultsDirectory(const char* client, char* directory, char* user, char* password, size_t size);
};
