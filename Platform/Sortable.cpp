#include "Platform/Sortable.h"

#include <cstdarg>
#include <cstdio>

int Sortable::setFatalErrMsg(const char* format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    fatalErrMsg_ = text;
    return -1;
}

void Sortable::makeKey(std::string_view /*line*/, std::string& key) { key.clear(); }

int Sortable::compareKeyed(std::string_view a, std::string_view /*keyA*/, std::string_view b, std::string_view /*keyB*/) {
    return compare(a, b);
}
