// What the storing, map and results directory suites share: an instance whose job results
// cache lives in the test's directory, the results directory of one job (talCell 2, job id
// 5 << 32 | 7), and small readers of its files.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>

#include "JobResults/LineMap.h"
#include "JobResults/StoreResults.h"
#include "tests/support/SettingsFixture.h"
#include "tests/support/TempDir.h"

// A line map's bytes for lines starting at offsets, as a writer stores them.
inline std::string mapBytes(const std::vector<uint64_t>& offsets) {
    std::string map;
    for (uint64_t offset : offsets) {
        unsigned char entry[kMapEntrySize];
        encodeMapEntry(offset, entry);
        map.append(reinterpret_cast<const char*>(entry), kMapEntrySize);
    }
    return map;
}

constexpr unsigned long kTalCell = 2;
constexpr int64_t kJobId = (int64_t(5) << 32) | 7;

class StoreFixture : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(settings.dir().file("idx/KR_JobResults"));
        writeSettings(extraSettings());
    }
    void writeSettings(const std::string& extra) {
        settings.write("[Focus]\nClientName=client1\n[Platform]\nTalClient=1\n[~Machines\\client1]\nClientId=42\nJobResultsDirectory=" +
                       settings.dir().file("idx") + "\n" + extra);
    }
    virtual std::string extraSettings() const { return ""; }
    // The job's directory as a writer leaves it, without results.
    void makeJobDir() const {
        JobResultsDir dir;
        ASSERT_FALSE(dir.initialize(kTalCell, kJobId, true, "client1"));
        ASSERT_FALSE(dir.open(false));
        ASSERT_FALSE(dir.close());
    }
    std::string jobDir() const { return settings.dir().file("idx/KR_JobResults/2/5/7"); }
    std::string jobFile(const std::string& name) const { return jobDir() + "/" + name; }

    // The map's entries, decoded; a trailing part of an entry is ignored.
    static std::vector<uint64_t> entriesOf(const std::string& path) {
        const std::string bytes = readFileText(path);
        std::vector<uint64_t> entries;
        for (size_t at = 0; at + kMapEntrySize <= bytes.size(); at += kMapEntrySize)
            entries.push_back(decodeMapEntry(reinterpret_cast<const unsigned char*>(bytes.data() + at)));
        return entries;
    }
    // Where each line of the text starts: after every line feed, and 0 when not empty.
    static std::vector<uint64_t> lineStartsOf(const std::string& text) {
        std::vector<uint64_t> starts;
        for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1) {
            starts.push_back(at);
            if (text.find('\n', at) == std::string::npos) break;
        }
        return starts;
    }

    SettingsFixture settings;
};

// The protected parts of the shared base, for the map tests.
class MapProbe : public StoreResults {
public:
    MapProbe() : StoreResults(kTalCell, kJobId, true, "client1") {}
    using ResultsBase::checkMap;
    using ResultsBase::MapCheck;
    CXFile& results() { return resultsFile_; }
    CXFile& map() { return mapFile_; }
    const char* mapName() const { return mapName_; }
};
