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
