// What the space reservation tests share: a cache file system whose volume figures and cleanup
// the test decides, and an instance configured with reservation on and client id 42.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "Indexing/cacheFs/JobResultsCacheFs.h"
#include "tests/support/EventCapture.h"
#include "tests/support/ReserveText.h"
#include "tests/support/SettingsFixture.h"

namespace fs = std::filesystem;

constexpr uint64_t kGiB = uint64_t(1) << 30;
constexpr uint64_t kGiBBlocks = kGiB / 1024;

// Initialized from the settings at its construction; 1024-byte blocks, `free` of them free; a
// cleanup adds freedByCleanup, runs duringCleanup and reports success as a cleanup that met its
// goal does.
class TestCacheFs : public JobResultsCacheFs {
public:
    TestCacheFs() : JobResultsCacheFs(1, TCacheIndex) { initialize(nullptr); }

    uint64_t free = 100 * kGiBBlocks;
    uint64_t freedByCleanup = 0;
    std::function<void()> duringCleanup;
    std::vector<long> cleanupDemands;

    int64_t getJobId() override { return 77; }
    int cleanUpForSpace(long numBlocks, unsigned long, unsigned long, unsigned long) override {
        cleanupDemands.push_back(numBlocks);
        free += freedByCleanup;
        if (duringCleanup) duringCleanup();
        return static_cast<int>(numBlocks);
    }
    // The reference clock reads seconds ahead of the local one from now on.
    void shiftClock(uint32_t seconds) {
        localTimeAtSync_ = getCurrentTime();
        referenceTime_ = localTimeAtSync_ + seconds;
    }

protected:
    int measureFreeSpace(int&) override {
        blockSize_ = 1024;
        totalBlocks_ = 200 * kGiBBlocks;
        freeBlocks_ = free;
        return 0;
    }
};

class Reservation : public ::testing::Test {
protected:
    void SetUp() override { configure("sDISABLERESERVE=No\n"); }
    void configure(const std::string& mediaAgent, const std::string& base = "idx") {
        settings.write("[Focus]\nClientName=client1\n[~Machines\\client1]\nClientId=42\n"
                       "[Platform\\2]\nTalServerHostName=central.example\n[MediaAgent]\nIndexCacheDirectory=" +
                       settings.dir().file(base) + "\n" + mediaAgent);
        fs::create_directories(settings.dir().file(base + "/KR_Index"));
    }
    std::string reserveFile(const std::string& base = "idx") const {
        return settings.dir().file(base + "/KR_Index/reserveFile");
    }
    // The parsed lines of the reserve file.
    std::vector<ReserveLine> lines(const std::string& base = "idx") const {
        return reserveLinesOf(readFileText(reserveFile(base)));
    }
    // The blocks of this process's line, -1 when it has none.
    long ownBlocks(const std::string& base = "idx") const {
        long blocks = -1;
        for (const ReserveLine& line : lines(base))
            if (line.pid == ownProcessId()) blocks = line.blocks;
        return blocks;
    }
    // The processes that have a line.
    std::set<std::string> pids() const {
        std::set<std::string> out;
        for (const ReserveLine& line : lines()) out.insert(line.pid);
        return out;
    }

    // True when the cache file system logged text, its %s standing for the reserve file's path.
    bool logged(const EventCapture& capture, std::string text) const {
        if (const size_t at = text.find("%s"); at != std::string::npos) text.replace(at, 2, reserveFile());
        const auto messages = capture.debugMessages();
        return std::find(messages.begin(), messages.end(), "JOBRESFS: " + text) != messages.end();
    }

    SettingsFixture settings;
};
