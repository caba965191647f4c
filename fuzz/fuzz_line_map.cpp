// A results file and its line map as a crash, a damaged disk or another program may leave
// them: the first two input bytes give the length of the results file's part, the rest is the
// map. The map is checked against the file, decoded entry by entry and rebuilt; a rebuilt map
// must be sound, name the start of every line and reach the file's last line.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "JobResults/LineMap.h"
#include "JobResults/StoreResults.h"
#include "fuzz/FuzzSandbox.h"

namespace {
struct Setup {
    FuzzSandbox sandbox;
    std::string jobDir = sandbox.file("idx/KR_JobResults/2/5/7");

    Setup() {
        std::filesystem::create_directories(jobDir);
        sandbox.writeSettings("[Focus]\nClientName=client1\n[Platform]\nTalClient=1\n[~Machines\\client1]\n"
                              "JobResultsDirectory=" + sandbox.file("idx") + "\n");
    }
};

class MapReader : public StoreResults {
public:
    MapReader() : StoreResults(2, (int64_t(5) << 32) | 7, false, "client1") {}
    bool openBoth() {
        return computeFileNames(kResultsBackup) || resultsFile_.open(fileName_, sfReadOnly) != 0 ||
               mapFile_.open(mapName_, sfReadOnly) != 0;
    }
    using ResultsBase::MapCheck;
    using ResultsBase::MapTail;
    MapCheck check(int64_t& lines) { return checkMap(lines); }
    MapTail tail(int64_t lines) { return mapTail(lines); }
    void closeBoth() {
        resultsFile_.close();
        mapFile_.close();
    }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Setup setup;
    if (size < 2) return 0;
    const size_t split = std::min<size_t>(size - 2, size_t(data[0]) | size_t(data[1]) << 8);
    const std::string results(reinterpret_cast<const char*>(data) + 2, split);
    const std::string map(reinterpret_cast<const char*>(data) + 2 + split, size - 2 - split);
    writeFileText(setup.jobDir + "/backup.out", results);
    writeFileText(setup.jobDir + "/1.map", map);
    for (size_t at = 0; at + kMapEntrySize <= map.size(); at += kMapEntrySize)
        if (decodeMapEntry(reinterpret_cast<const unsigned char*>(map.data()) + at) > kMaxMappedOffset) __builtin_trap();

    MapReader reader;
    int64_t lines = 0;
    if (reader.openBoth()) __builtin_trap();
    reader.check(lines);
    reader.closeBoth();
    if (!reader.generateMap()) {
        reader.closeBoth();
        if (reader.openBoth() || reader.check(lines) != MapReader::MapCheck::Sound) __builtin_trap();
        // A rebuilt map covers the whole file: its last line is the file's last.
        const MapReader::MapTail tail = reader.tail(lines);
        if (tail != MapReader::MapTail::Exact && tail != MapReader::MapTail::Unterminated) __builtin_trap();
        reader.closeBoth();
        const std::string rebuilt = readFileText(setup.jobDir + "/1.map");
        uint64_t previous = 0;
        for (size_t at = 0; at + kMapEntrySize <= rebuilt.size(); at += kMapEntrySize) {
            const uint64_t start = decodeMapEntry(reinterpret_cast<const unsigned char*>(rebuilt.data()) + at);
            if ((at == 0) != (start == 0) || start < previous || start >= results.size()) __builtin_trap();
            if (start > 0 && results[start - 1] != '\n') __builtin_trap();
            previous = start;
        }
    }
    reader.closeBoth();
    setup.sandbox.trimJournal();
    return 0;
}
