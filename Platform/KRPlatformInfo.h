// Settings and host names of the instance.
#pragma once

#include <string>

#include "Platform/KRPI_Object.h"

class KRPlatformInfo : public KRPI_Object {
public:
    // Integer settings: true when the value exists (read) or was written.
    bool getRegInt(const char* key, const char* value, int* result) const;
    bool setRegInt(const char* key, const char* value, int number);
    // Non-zero when found. getString: *length is the buffer's size; a value that does not fit
    // is not found, and *length then gives the size it needs.
    int getNumber(const char* key, const char* value, unsigned long* result) const;
    int getString(const char* key, const char* value, char* buffer, int* length) const;
    // [~Machines\<client>] HostName; the mangled form is MangledHostName, or the host name in
    // lower case with every character but letters, digits, '-' and '.' replaced by '_'.
    // Non-zero on success.
    int getClientHostName(const char* client, char* buffer, size_t size) const;
    int getClientHostNameMangled(const char* client, char* buffer, size_t size) const;
    // [Platform] PhysicalMachine, else this machine's host name. Valid while the object lives.
    const char* getPhysicalMachine();

private:
    std::string physicalMachine_;
};
