// Logon as another account. A mounted share carries its own credentials on Linux, so the logon
// records the account and succeeds as a handleless logon: it changes no credentials. An account
// listed in [Logon] RefusedUsers (comma-separated) is refused, so that callers' failure paths
// can be exercised.
#pragma once

#include <cstdint>
#include <string>

using KRLogonHandle = intptr_t;
constexpr KRLogonHandle KR_INVALID_LOGON_HANDLE = -1;

class KrNetMagneticMedia {
public:
    // True on success; error gets EINVAL for an empty user, EACCES for a refused one.
    bool impersonateUser(const char* caller, const char* user, const char* password, unsigned long& error,
                         bool refresh);
    // The logon handle of the last successful logon: always the invalid handle (handleless).
    KRLogonHandle getLoginToken() const { return KR_INVALID_LOGON_HANDLE; }

    // The account of the process's last successful logon ("" when none).
    static std::string loggedOnUser();
};

// Makes the calling thread act as the logon behind the handle; non-zero on success. No handle
// is ever issued here, so every handle is refused (errno EBADF).
int KRImpersonateLoggedOnUser(KRLogonHandle handle);
// Closes a logon handle; non-zero on success.
int KRCloseLogonHandle(KRLogonHandle handle);
