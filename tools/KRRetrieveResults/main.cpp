// KRRetrieveResults talCell jobId kind seqNo lineNumber numLines
//
// Serves one page of a job's results on this machine and writes the reply to standard output as
// text lines (JobResults/RemoteReply.h, docs/return-data.md), for the session that started it.
// Exit code: 0 the page was served, 1 the reply tells of a failure, 2 the arguments are not six
// decimal numbers (nothing is written to standard output then), 3 the reply could not be written.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "JobResults/RemoteReply.h"
#include "JobResults/RetrieveResults.h"
#include "Platform/KRPI_Focus.h"

namespace {

constexpr int kServed = 0, kPageFailed = 1, kBadArguments = 2, kOutputFailed = 3;

struct Request {
    unsigned long talCell = 0;
    uint64_t jobId = 0;
    int kind = 0;
    int64_t seqNo = 0, lineNumber = 0, numLines = 0;
};

bool isDecimal(const char* text, bool allowSign) {
    if (allowSign && *text == '-') ++text;
    if (*text == '\0') return false;
    for (; *text != '\0'; ++text)
        if (*text < '0' || *text > '9') return false;
    return true;
}

bool parseUnsigned(const char* text, uint64_t max, uint64_t& value) {
    if (!isDecimal(text, false)) return false;
    errno = 0;
    const unsigned long long parsed = strtoull(text, nullptr, 10);
    value = parsed;
    return errno == 0 && parsed <= max;
}

bool parseSigned(const char* text, int64_t min, int64_t max, int64_t& value) {
    if (!isDecimal(text, true)) return false;
    errno = 0;
    const long long parsed = strtoll(text, nullptr, 10);
    value = parsed;
    return errno == 0 && parsed >= min && parsed <= max;
}

bool parseRequest(int argc, char** argv, Request& request) {
    if (argc != 7) {
        fprintf(stderr, "KRRetrieveResults: expected 6 arguments (talCell jobId kind seqNo lineNumber numLines), got %d\n",
                argc - 1);
        return false;
    }
    static const char* const names[] = {"talCell", "jobId", "kind", "seqNo", "lineNumber", "numLines"};
    uint64_t talCell = 0;
    int64_t kind = 0;
    // A talCell is a 32-bit number: a larger one would wrap round to another cell's job.
    const bool ok[] = {parseUnsigned(argv[1], UINT32_MAX, talCell), parseUnsigned(argv[2], UINT64_MAX, request.jobId),
                       parseSigned(argv[3], INT_MIN, INT_MAX, kind),
                       parseSigned(argv[4], INT64_MIN, INT64_MAX, request.seqNo),
                       parseSigned(argv[5], INT64_MIN, INT64_MAX, request.lineNumber),
                       parseSigned(argv[6], INT64_MIN, INT64_MAX, request.numLines)};
    for (int i = 0; i < 6; ++i) {
        if (!ok[i]) {
            fprintf(stderr, "KRRetrieveResults: %s '%s' is not a decimal number in range\n", names[i], argv[i + 1]);
            return false;
        }
    }
    request.talCell = static_cast<unsigned long>(talCell);
    request.kind = static_cast<int>(kind);
    return true;
}

// Copies the reply stream from the pipe to standard output as reply lines; false when a read or
// a write failed.
bool forwardReply(int fd) {
    static unsigned char block[RemoteReply::kBytesPerLine];
    bool ok = true;
    for (;;) {
        const ssize_t got = read(fd, block, sizeof block);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return ok && got == 0;
        const std::string line = RemoteReply::encodeLine(block, static_cast<size_t>(got)) + "\n";
        // Keep draining after a write error, so that the page's writer is never left blocked.
        if (ok && fwrite(line.data(), 1, line.size(), stdout) != line.size()) ok = false;
    }
}

}  // namespace

int main(int argc, char** argv) {
    Request request;
    if (!parseRequest(argc, argv, request)) return kBadArguments;
    // A session that went away makes writes fail with EPIPE instead of killing the program.
    signal(SIGPIPE, SIG_IGN);

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        fprintf(stderr, "KRRetrieveResults: cannot make a pipe: %s\n", strerror(errno));
        return kOutputFailed;
    }
    bool forwarded = false;
    std::thread forwarder([&] { forwarded = forwardReply(pipeFds[0]); });
    bool pageFailed;
    {
        RetrieveResults reader(request.talCell, static_cast<int64_t>(request.jobId),
                               static_cast<ResultsFile>(request.kind), KRPI_Focus::getFocusClientName(false));
        const CYuSocket socket(pipeFds[1]);
        pageFailed = reader.getPage(request.seqNo, request.lineNumber, request.numLines, &socket);
    }
    close(pipeFds[1]);
    forwarder.join();
    close(pipeFds[0]);
    if (!forwarded || fflush(stdout) != 0) {
        fprintf(stderr, "KRRetrieveResults: the reply could not be written: %s\n", strerror(errno));
        return kOutputFailed;
    }
    return pageFailed ? kPageFailed : kServed;
}
