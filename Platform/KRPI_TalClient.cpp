#include "Platform/KRPI_TalClient.h"

const char* KRPI_TalClient::getJobResultsDirectory(const char* client) {
    return keep(text(clientSection(client), "JobResultsDirectory"));
}

bool KRPI_TalClient::getJobResultsDirectory(const char* client, char* directory, char* user, char* password,
                                            size_t size) {
    const std::string section = clientSection(client);
    auto dir = text(section, "JobResultsDirectory");
    if (!dir || dir->empty()) return false;
    return fill(directory, size, *dir) && fill(user, size, text(section, "JobResultsUser").value_or("")) &&
           fill(password, size, text(section, "JobResultsPassword").value_or(""));
}
