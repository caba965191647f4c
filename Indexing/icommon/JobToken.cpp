#include "Indexing/icommon/JobToken.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <optional>

#include "Indexing/icommon/TDebuggable.h"

namespace {
constexpr size_t kTokenBufSize = 128;  // a token is read up to its first 127 characters
constexpr uint64_t kMaxField = UINT32_MAX;

// Reads the unsigned decimal number at the head of text, up to the first character that is not
// a digit. Empty when text does not start with a digit (a sign or a blank included) or when the
// number exceeds max; a wrapped value is never returned.
std::optional<uint64_t> readNumber(const char* text, uint64_t max) {
    if (*text < '0' || *text > '9') return std::nullopt;
    uint64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        const uint64_t digit = static_cast<uint64_t>(*text - '0');
        if (value > (max - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

void readField(TDebuggable& log, const char* text, unsigned long& out, const char* invalidText) {
    if (std::optional<uint64_t> value = readNumber(text, kMaxField))
        out = static_cast<unsigned long>(*value);
    else
        log.debug(1, "%s", invalidText);
}

void readJobId(TDebuggable& log, const char* text, int64_t& jobId) {
    if (std::optional<uint64_t> value = readNumber(text, UINT64_MAX))
        jobId = static_cast<int64_t>(*value);  // the unsigned form of a signed id
    else
        log.debug(1, "Invalid jobId");
}
}  // namespace

std::string constructJobToken(int64_t jobId, unsigned long phase, unsigned long attempt) {
    return constructJobToken(jobId, phase, attempt, 0);
}

std::string constructJobToken(int64_t jobId, unsigned long phase, unsigned long attempt,
                              unsigned long writeOpenCounter) {
    std::optional<TDebuggable> log;
    auto logger = [&log]() -> TDebuggable& {
        if (!log) {
            log.emplace();
            log->setDebugPrefix("::constructJobToken");
        }
        return *log;
    };
    if (phase == 0 || attempt == 0) logger().debug(2, "Fake jobToken will be created.");
    char buffer[kTokenBufSize];
    int length = -1;
    if (phase <= kMaxField && attempt <= kMaxField && writeOpenCounter <= kMaxField)
        length = snprintf(buffer, sizeof buffer, "%" PRIu64 ":%lu:%lu:%lu", static_cast<uint64_t>(jobId), phase,
                          attempt, writeOpenCounter);
    if (length < 0 || static_cast<size_t>(length) >= sizeof buffer) {
        logger().debug(2, "sprintf failed during constructing job token.");
        return std::string();
    }
    return std::string(buffer, static_cast<size_t>(length));
}

bool parseJobToken(const char* token, int64_t& jobId, unsigned long& phase, unsigned long& attempt) {
    unsigned long writeOpenCounter = 0;
    return parseJobToken(token, jobId, phase, attempt, writeOpenCounter);
}

bool parseJobToken(const char* token, int64_t& jobId, unsigned long& phase, unsigned long& attempt,
                   unsigned long& writeOpenCounter) {
    jobId = 0;
    phase = 0;
    attempt = 0;
    writeOpenCounter = 0;
    TDebuggable log;
    log.setDebugPrefix("::parseJobToken");
    if (token == nullptr) {
        log.debug(1, "ERROR: job token 'NULL' is received.");
        return false;
    }
    if (*token == '\0') {
        log.debug(1, "ERROR: empty job token is received.");
        return false;
    }
    char copy[kTokenBufSize];
    const size_t length = strnlen(token, kTokenBufSize - 1);
    memcpy(copy, token, length);
    copy[length] = '\0';
    log.debug(2, "job token '%s' to be parsed.", copy);

    // The fields are cut apart in a second buffer so that the log lines show the whole token.
    char fields[kTokenBufSize];
    memcpy(fields, copy, length + 1);
    char* first = strchr(fields, ':');
    if (first == nullptr) {
        readJobId(log, fields, jobId);
        log.debug(1, "warning: old format of job token received '%s'. Phase and attempt are set to zero.", copy);
    } else {
        char* second = strchr(first + 1, ':');
        if (second == nullptr) {
            log.debug(1, "cannot detect attempt number in '%s'", copy);
            return false;
        }
        char* third = strchr(second + 1, ':');
        *first = '\0';
        *second = '\0';
        if (third != nullptr) *third = '\0';
        readJobId(log, fields, jobId);
        readField(log, first + 1, phase, "Invalid phaseNumber");
        readField(log, second + 1, attempt, "Invalid attemptNumber");
        if (third != nullptr) readField(log, third + 1, writeOpenCounter, "Invalid writeOpenCounter");
    }
    log.debug(2, "job token '%s' is parsed.", copy);
    return true;
}

int64_t getJobIdFromJobToken(const char* token) {
    int64_t jobId = 0;
    unsigned long phase = 0, attempt = 0;
    return parseJobToken(token, jobId, phase, attempt) ? jobId : 0;
}
