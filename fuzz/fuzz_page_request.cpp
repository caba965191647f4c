// A page request against a results file and map in any shape: the input holds the request and
// both files, which become backup.out and 1.map of a job's results directory; the reply goes to
// a socket pair drained by a thread and is decoded there. The reader must answer (or refuse)
// without crashing or reading outside what it was given, and every line it sends must be one of
// the results file's bytes.
//
// Input: byte 0 selects the line number (signed, or a 64-bit value from bytes 1-8 when bit 7
// of byte 9 is set), byte 10 the count less 16 (2^40 when bit 6 of byte 9 is set; bit 5 leaves
// the map out), bytes 11-12 the map's length; then the map, then the results file.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "JobResults/RetrieveResults.h"
#include "Platform/ReturnDataReader.h"
#include "fuzz/FuzzSandbox.h"

namespace {
constexpr unsigned long kTalCell = 2;
constexpr int64_t kJobId = (int64_t(5) << 32) | 7;
constexpr size_t kHead = 13;

struct Setup {
    FuzzSandbox sandbox;
    std::string jobDir = sandbox.file("idx/KR_JobResults/2/5/7");

    Setup() {
        sandbox.writeSettings("[Focus]\nClientName=client1\n[MediaAgent]\nIndexCacheDirectory=" + sandbox.file("idx") +
                              "\n[~Machines\\client1]\nJobResultsDirectory=" + sandbox.file("idx") + "\n");
    }
};

// Reads the reply; every line must be a part of the results file.
void checkReply(int fd, const std::string& results, bool* bad) {
    ReturnDataReader reader(fd, 5000);
    unsigned long type = 0;
    int64_t seq = 0;
    if (reader.readHeader(type, seq) != 0) return;
    ReturnDataReader::Field field;
    while (reader.next(field) == 1)
        if (field.tag == RetrieveResults::kTagLine && results.find(field.bytes) == std::string::npos) *bad = true;
    char sink[4096];
    while (::read(fd, sink, sizeof sink) > 0) {
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Setup setup;
    if (size < kHead) return 0;
    int64_t lineNumber = static_cast<int8_t>(data[0]);
    if ((data[9] & 0x80) != 0) memcpy(&lineNumber, data + 1, sizeof lineNumber);
    int64_t numLines = (data[9] & 0x40) != 0 ? int64_t(1) << 40 : int64_t(data[10]) - 16;
    const size_t mapLength = std::min<size_t>(size - kHead, size_t(data[11]) << 8 | data[12]);
    const std::string map(reinterpret_cast<const char*>(data) + kHead, mapLength);
    const std::string results(reinterpret_cast<const char*>(data) + kHead + mapLength, size - kHead - mapLength);

    std::filesystem::remove_all(setup.jobDir);
    std::filesystem::create_directories(setup.jobDir);
    writeFileText(setup.jobDir + "/State", "0\r\n1700000000    \r\n");
    writeFileText(setup.jobDir + "/backup.out", results);
    if ((data[9] & 0x20) == 0) writeFileText(setup.jobDir + "/1.map", map);

    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) __builtin_trap();
    bool bad = false;
    std::thread reader(checkReply, ends[1], std::cref(results), &bad);
    {
        RetrieveResults page(kTalCell, kJobId, kResultsBackup, "client1");
        CYuSocket socket(ends[0]);
        page.getPage(1, lineNumber, numLines, &socket);
    }
    ::shutdown(ends[0], SHUT_RDWR);
    reader.join();
    ::close(ends[0]);
    ::close(ends[1]);
    if (bad) __builtin_trap();
    setup.sandbox.trimJournal();
    return 0;
}
