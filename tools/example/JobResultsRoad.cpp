// The road of a page of job results: a job stores its lines with a map, a reader serves pages
// on a socket, a lost map is rebuilt, raw writers in other processes are merged by the first
// reader, a removable store withdraws rows before the file is made, the restore results are
// filtered by status, and a page is fetched through the retrieval program of a session.
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <string>

#include "Indexing/idxport/CXFile.h"
#include "JobResults/RetrieveResults.h"
#include "JobResults/StoreResults.h"
#include "JobResults/TSRetrieveResults.h"
#include "JobResults/VornicaConstants.h"
#include "Platform/ReturnDataReader.h"
#include "tools/example/ExampleSteps.h"

namespace {
constexpr unsigned long kTalCell = 2;
constexpr const char* kClient = "client1";
int64_t jobOf(uint32_t number) { return (int64_t(3) << 32) | number; }

const char* endCodeName(int64_t code) {
    switch (code) {
        case kPageDone: return "done";
        case kPageNotInitialized: return "not initialized";
        case kPageDirOpen: return "directory not opened";
        case kPageUnavailable: return "results unavailable";
        case kPageBeyondEnd: return "beyond the last line";
        case kPageMapRead: return "map not read";
        case kPageLineRead: return "line not read";
    }
    return "unknown";
}

// Prints a reply read from fd: the header fields, each line, the last line sent, the end code.
void printReply(int fd) {
    ReturnDataReader reader(fd, 30000);
    ReturnDataReader::Field field;
    int result;
    while ((result = reader.next(field)) == 1) {
        if (field.tag == RetrieveResults::kTagLine)
            std::printf("      | %s\n", field.bytes.c_str());
        else if (field.asInt64())
            std::printf("    %s (tag %u) = %" PRId64 "\n", pageTagName(field.tag), field.tag, *field.asInt64());
    }
    if (result == 0) std::printf("    end code %" PRId64 " (%s)\n", reader.endCode(), endCodeName(reader.endCode()));
    if (result < 0) std::printf("    reply broken: %s\n", reader.errorText().c_str());
}

// Asks reader for a page over a real socket pair and prints what arrives.
void askForPage(RetrieveResults& reader, int64_t seqNo, int64_t lineNumber, int64_t numLines) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return;
    const CYuSocket socket(pair[0]);
    const bool failed = reader.getPage(seqNo, lineNumber, numLines, &socket);
    close(pair[0]);
    std::printf("    getPage(line %" PRId64 ", %" PRId64 " lines): %s\n", lineNumber, numLines, failed ? "failed" : "ok");
    printReply(pair[1]);
    close(pair[1]);
}

long fileSize(const std::string& path) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    return file ? static_cast<long>(file.tellg()) : -1;
}

void storeAMillionLines() {
    step("a backup job stores 1,000,000 result lines with a map");
    StoreResults store(kTalCell, jobOf(1), true, kClient);
    if (store.openFile(kResultsBackup, true, true)) return;
    char line[128];
    for (int i = 1; i <= 1000000; ++i) {
        std::snprintf(line, sizeof line, "/data/file%07d backed up", i);
        if (store.putLine(line, false)) return;
    }
    const std::string results = store.getFile();
    store.closeFile();
    const std::string map = std::string(store.getDirectory()) + "/1.map";
    std::printf("    %s: %ld bytes, map %ld bytes (5 per line)\n", results.c_str(), fileSize(results), fileSize(map));

    step("a reader asks for a page in the middle, over a socket pair");
    RetrieveResults reader(kTalCell, jobOf(1), kResultsBackup, kClient);
    askForPage(reader, 1, 500000, 3);

    step("the map is lost: the next page rebuilds it");
    unlink(map.c_str());
    askForPage(reader, 2, 999999, 5);
    std::printf("    map rebuilt: %ld bytes\n", fileSize(map));
}

void mergeRawWriters() {
    step("three raw writers (processes) store raw files; the first reader merges them");
    int ready[2];
    if (pipe(ready) != 0) return;
    std::fflush(stdout);
    for (int writer = 1; writer <= 3; ++writer) {
        if (fork() != 0) continue;
        close(ready[0]);
        StoreResults raw(kTalCell, jobOf(2), true, kClient);
        std::string rawName;
        if (raw.openRaw(kResultsCrossCheck, rawName)) _exit(1);
        CXFile file;
        file.open(rawName.c_str(), sfReadWrite);  // openRaw claimed the name: the file is there
        for (int i = 1; i <= 2; ++i) {
            char line[64];
            std::snprintf(line, sizeof line, "writer %d checked object %d", writer, i);
            file.putLine(line, false);
        }
        file.close();
        std::printf("    writer %d wrote %s (2 lines)\n", writer, rawName.c_str());
        std::fflush(stdout);
        (void)!write(ready[1], "r", 1);
        usleep(300000);  // still holding the shared lock: the reader waits for it
        _exit(0);
    }
    // Only the writers hold the write end: a writer that dies early cannot leave this waiting.
    close(ready[1]);
    char byte;
    for (int writer = 0; writer < 3 && read(ready[0], &byte, 1) == 1; ++writer) {
    }
    close(ready[0]);
    RetrieveResults reader(kTalCell, jobOf(2), kResultsCrossCheck, kClient);
    const auto start = std::chrono::steady_clock::now();
    askForPage(reader, 3, 1, 10);
    std::printf("    the reader waited %lld ms for the writers' locks\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - start).count()));
    while (wait(nullptr) > 0) {
    }
    std::ifstream log(std::string(reader.getPath()).substr(0, std::string(reader.getPath()).rfind('/')) + "/raw.log");
    for (std::string line; std::getline(log, line);) std::printf("    raw.log: %s\n", line.c_str());
}

void withdrawRemovableRows() {
    step("a removable store withdraws a row before the results file is made from the table");
    {
        StoreResults store(kTalCell, jobOf(3), true, kClient);
        if (store.openRemovable(kResultsScrapeText)) return;
        for (const char* key : {"/data/a", "/data/b", "/data/c"}) store.putRemovableLine(key, "%s scraped: 100%%");
        std::printf("    withdrawn rows of /data/b: %" PRId64 "\n", store.removeRows("/data/b"));
    }
    RetrieveResults reader(kTalCell, jobOf(3), kResultsScrapeText, kClient);
    askForPage(reader, 4, 1, 10);
}

void filterRestoreResults() {
    step("a restore stores one status per object; a filtered page shows only the failed objects");
    {
        StoreResults store(kTalCell, jobOf(4), true, kClient);
        if (store.openFile(kResultsRestore, false, true)) return;
        const struct {
            const char* object;
            int status;
        } results[] = {{"/data/ok1", 1}, {"/data/bad one", 3}, {"/data/skipped", 4}, {"/data/ok2", 5}, {"/data/bad2", 10}};
        for (const auto& result : results)
            store.setRestoreStatusOnObject(result.object, static_cast<RESTORE_STATUS_STRING_MAPPING>(result.status), false);
        store.closeFile();
    }
    RetrieveResults failed(kTalCell, jobOf(4), kRestoreFailed, kClient);
    const std::string filterFile = failed.getPath() != nullptr ? failed.getPath() : "";
    std::printf("    filter file %s\n", filterFile.c_str());
    askForPage(failed, 5, 1, 10);
    // Line -1: the user interface is done with it; the filter file and its map go, no reply.
    failed.getPage(6, -1, 0, nullptr);
    std::printf("    after line -1: filter file %s, map %s\n", access(filterFile.c_str(), F_OK) == 0 ? "kept" : "gone",
                access((filterFile + ".map").c_str(), F_OK) == 0 ? "kept" : "gone");
}

void fetchThroughASession(const std::string& dir) {
    step("a page fetched from \"another machine\": the retrieval program, run through a session");
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return;
    const std::string tools = std::string(self, static_cast<size_t>(length)).substr(0, std::string(self, static_cast<size_t>(length)).rfind('/'));
    std::ofstream(dir + "/instance.ini", std::ios::app) << "[Session]\nProgramDirectory=" << tools << "\n";
    char host[] = "localhost";
    TSRetrieveResults remote(kTalCell, jobOf(1), kResultsBackup, host);
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return;
    const CYuSocket socket(pair[0]);
    std::printf("    relayed: %s\n", remote.getPage(7, 250000, 2, &socket) ? "failed" : "ok");
    close(pair[0]);
    printReply(pair[1]);
    close(pair[1]);
}
}  // namespace

const char* pageTagName(uint32_t tag) {
    switch (tag) {
        case RetrieveResults::kTagTotalLines: return "total lines";
        case RetrieveResults::kTagNumLines: return "lines asked";
        case RetrieveResults::kTagLineNumber: return "first line";
        case RetrieveResults::kTagLastLine: return "last line sent";
        case RetrieveResults::kTagLine: return "line";
    }
    return "field";
}

void walkTheRoadOfAPage(const std::string& dir) {
    storeAMillionLines();
    mergeRawWriters();
    withdrawRemovableRows();
    filterRestoreResults();
    fetchThroughASession(dir);
}
