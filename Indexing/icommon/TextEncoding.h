// Conversion of text between the process's local code page (see Platform/LocalCodePage.h:
// the setting [Platform] LocalCodePage, else the locale's character set) and UTF-8.
//
// Both directions work in buffers of kTextEncodingBufSize characters, terminator included:
// a text whose converted or intermediate form has more than 1023 characters is not converted.
// They never fail towards the caller: on any error they log one line to the product's debug
// log (EvDebug::Debug, function name "localToUtf" or "utfToLocal") and return their input
// unchanged. A null text is logged like a failed conversion (code EINVAL) and gives "".
#pragma once

#include <cstddef>
#include <string>

constexpr size_t kTextEncodingBufSize = 1024;

std::string localToUtf(const char* text);
std::string utfToLocal(const char* text);
