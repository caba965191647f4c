#include "JobResults/JRGenerateCallback.h"

#include <cinttypes>
#include <cstring>
#include <new>

#include "Indexing/idxport/CXFile.h"

JRGenerateCallback::JRGenerateCallback(CXFile& output) : output_(output), line_(new (std::nothrow) char[kLineBuffer]) {
    setDebugPrefix("JRGENERATECALLBACK");
}

JRGenerateCallback::~JRGenerateCallback() = default;

int JRGenerateCallback::function(JobResultsTable*, JobResultsRecord* record) {
    if (!line_) {
        debug(1, "no memory");
        return -1;
    }
    if (record == nullptr) return -1;
    // The template is never handed to a printf function: a stored "%n" or "%s%s" stays text.
    const std::string& templ = record->line;
    char* line = line_.get();
    size_t used = 0;
    bool tooLong = false;
    const auto append = [&](const char* bytes, size_t length) {
        if (length > kMaxLine - used) {
            tooLong = true;
            return;
        }
        memcpy(line + used, bytes, length);
        used += length;
    };
    bool keyPlaced = false;
    for (size_t at = 0; at < templ.size() && !tooLong;) {
        const void* percent = memchr(templ.data() + at, '%', templ.size() - at);
        const size_t next = percent != nullptr ? static_cast<const char*>(percent) - templ.data() : templ.size();
        append(templ.data() + at, next - at);
        at = next;
        if (at >= templ.size() || tooLong) break;
        const char follower = at + 1 < templ.size() ? templ[at + 1] : '\0';
        if (follower == '%') {
            append("%", 1);
            at += 2;
        } else if (follower == 's' && !keyPlaced) {
            append(record->key.data(), record->key.size());
            keyPlaced = true;
            at += 2;
        } else {
            append("%", 1);
            at += 1;
        }
    }
    if (tooLong) {
        debug(1, "row %" PRId64 ": a line of more than %zu characters is not stored\n", record->sequence, kMaxLine);
        return -1;
    }
    if (output_.bufWrite(line, used) != static_cast<long>(used) || output_.bufWrite("\r\n", 2) != 2) {
        debug(1, "putLine failed, code %d", output_.getLastError());
        return -1;
    }
    return 0;
}
