// Who and where this installation is: the client's name, host name and id, the product's
// temporary directory and the domain's central server ("TalServe"). Each answer is read afresh
// from the platform information services of the process's instance (the focus); nothing is
// cached. A failure gives an empty string or 0 after one level-1 log line.
#pragma once

#include <string>

// The name (clientNameOnly) or the host name of clientName. A null or empty clientName means
// this instance's client name, and, when the instance names none, the physical machine's name
// (logged as a warning, prefix "MYHOSTNAME"). The host name is the client's configured one,
// mangled or not; empty, with an "ERROR:" line, when the client has none.
std::string getMyHostName(const char* clientName, bool clientNameOnly = false, bool mangled = false);

// The client id of clientName (resolved as getMyHostName does); 0 on failure (prefix
// "MYCLIENTID").
long getMyClientId(const char* clientName);

// The product's temporary directory, created (mode 0755, with missing parents) when it does not
// exist yet. Empty when none is configured, or when it cannot be created (logged, prefix
// "MYTEMPDIR").
std::string getMyTempDir();

// The host name of the domain's central server, as the first of the platform types 4 (central
// server), 2 (media server) and 1 (client) that knows it configures it; empty when none does.
// Each type that does not know it is logged (prefix "getTalServe").
std::string getTalServe();
