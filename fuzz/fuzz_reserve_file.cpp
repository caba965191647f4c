// The reserve file as other processes, other machines or a damaged disk may leave it. Every line
// read must format back to itself; a transaction on the input must succeed and leave a file in
// which every line reads cleanly and this process has exactly its one line, and giving the line
// back must remove it.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "Indexing/cacheFs/JobResultsCacheFs.h"
#include "Indexing/cacheFs/ReserveFileLines.h"
#include "Indexing/idxport/CXProcessId.h"
#include "Platform/PlatformSleep.h"
#include "fuzz/FuzzSandbox.h"
#include "tests/support/ReserveText.h"

namespace {
// A volume with room for anything the input can reserve, so that every transaction is granted.
class RoomyCacheFs : public JobResultsCacheFs {
public:
    RoomyCacheFs() : JobResultsCacheFs(1, TCacheIndex) {}

protected:
    int measureFreeSpace(int&) override {
        blockSize_ = 1024;
        totalBlocks_ = freeBlocks_ = uint64_t(1) << 50;
        return 0;
    }
};

struct Setup {
    FuzzSandbox sandbox;
    std::string reserveFile = sandbox.file("idx/KR_Index/reserveFile");
    std::string ownPid;
    RoomyCacheFs cache;

    Setup() {
        std::filesystem::create_directories(sandbox.file("idx/KR_Index"));
        sandbox.writeSettings("[Focus]\nClientName=client1\n[~Machines\\client1]\nClientId=42\n[MediaAgent]\n"
                              "sDISABLERESERVE=no\nIndexCacheDirectory=" + sandbox.file("idx") + "\n");
        setPlatformSleepHook([](unsigned long, const char*, int) {});
        CXProcessId me;
        me.thisProcess();
        ownPid = me.getIdString();
        cache.initialize("client1");
    }
};

// The number of this process's lines in text; traps on a line that does not read cleanly.
int ownLines(const std::string& text, const std::string& ownPid) {
    int malformed = 0, own = 0;
    for (const ReserveLine& line : reserveLinesOf(text, &malformed)) own += line.host == "42" && line.pid == ownPid;
    if (malformed != 0) __builtin_trap();
    return own;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Setup setup;
    const std::string input(reinterpret_cast<const char*>(data), size);

    ReserveLineReader reader(input);
    std::string_view view;
    bool tooLong = false;
    while (reader.next(view, tooLong)) {
        ReserveLine line, again;
        if (tooLong || parseReserveLine(view, line) != ReserveLineStatus::ok) continue;
        const std::string written = formatKeptReserveLine(line);
        if (parseReserveLine(written, again) != ReserveLineStatus::ok || again.head != line.head ||
            again.blocks != line.blocks || again.time != line.time || formatKeptReserveLine(again) != written)
            __builtin_trap();
    }

    writeFileText(setup.reserveFile, input);
    setup.cache.setReserveBuffer(0);
    if (setup.cache.reserve(10000000, 0, 0, 0) != 1) __builtin_trap();
    if (ownLines(readFileText(setup.reserveFile), setup.ownPid) != 1) __builtin_trap();
    if (setup.cache.release(0, true) != 0) __builtin_trap();
    if (ownLines(readFileText(setup.reserveFile), setup.ownPid) != 0) __builtin_trap();
    setup.sandbox.trimJournal();
    return 0;
}
