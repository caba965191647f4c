#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <vector>

#include "Indexing/cacheFs/JobResultsCacheFs.h"
#include "Indexing/cacheFs/ReserveFileLines.h"
#include "Indexing/idxport/CXProcessId.h"
#include "tests/support/EventCapture.h"
#include "tests/support/SettingsFixture.h"

namespace fs = std::filesystem;

namespace {
constexpr uint64_t kGiB = uint64_t(1) << 30;

// A cache file system on a volume whose figures the test sets (1024-byte blocks); a cleanup
// frees what the test says and records what it was asked for.
class TestCacheFs : public JobResultsCacheFs {
public:
    TestCacheFs() : JobResultsCacheFs(1, TCacheIndex) {}

    uint64_t free = 100 * (kGiB / 1024);
    uint64_t freedByCleanup = 0;
    std::vector<long> cleanupDemands;

    int cleanUpForSpace(long numBlocks, unsigned long, unsigned long, unsigned long) override {
        cleanupDemands.push_back(numBlocks);
        free += freedByCleanup;
        return static_cast<int>(numBlocks);  // as a cleanup that met its goal reports
    }

protected:
    int measureFreeSpace(int&) override {
        blockSize_ = 1024;
        totalBlocks_ = 200 * (kGiB / 1024);
        freeBlocks_ = free;
        return 0;
    }
};

class Reservation : public ::testing::Test {
protected:
    void SetUp() override { configure("sDISABLERESERVE=No\n"); }
    void configure(const std::string& mediaAgent) {
        settings.write("[Focus]\nClientName=client1\n[~Machines\\client1]\nClientId=42\n[MediaAgent]\nIndexCacheDirectory=" +
                       settings.dir().file("idx") + "\n" + mediaAgent);
        fs::create_directories(settings.dir().file("idx"));
    }
    std::string reserveFile() const { return settings.dir().file("idx/KR_Index/reserveFile"); }
    static std::string myId() {
        CXProcessId me;
        me.thisProcess();
        return me.getIdString();
    }
    // The blocks of this process's line, -1 when it has none.
    long ownBlocks() const {
        ReserveLineReader reader(text_ = readFileText(reserveFile()));
        std::string_view view;
        bool tooLong = false;
        long blocks = -1;
        while (reader.next(view, tooLong)) {
            ReserveLine line;
            if (parseReserveLine(view, line) == ReserveLineStatus::ok && line.pid == myId()) blocks = line.blocks;
        }
        return blocks;
    }

    SettingsFixture settings;
    mutable std::string text_;
};
}  // namespace

// Requests that go to the file reserve their size plus 2,500,000 bytes; smaller ones are served
// from the buffer; releases give back only from reservations of at least that pad.
TEST_F(Reservation, BlocksBufferAndReleaseRules) {
    enum Op { reserve, release, giveBack, releaseAll };
    const struct {
        Op op;
        uint64_t amount;
        int result;
        long lineBlocks;  // -1: no line
        uint64_t buffer;
    } steps[] = {
        {reserve, 10000000, 1, 12207, 12499968},
        {reserve, 5000000, 1, 12207, 7499968},    // from the buffer
        {release, 2499999, 0, 12207, 7499968},    // below the pad: nothing
        {release, 4000000, 0, 8301, 8500224},     // 12207 - 4000000 / 1024
        {release, 4000000, 0, 8301, 8500224},     // the 1,000,000 left of the last request: below the pad
        {releaseAll, 0, 0, -1, 0},
        {reserve, 0, 1, 2441, 2499584},
        {reserve, 1000000, 1, 2441, 1499584},     // a reservation below the pad ...
        {release, 5000000, 0, 2441, 1499584},     // ... gives nothing back
        {reserve, 10000000, 1, 12207, 12499968},  // more than the buffer: to the file
        {release, 20000000, 0, 2442, 2500608},    // at most the last request: 12207 - 10000000 / 1024
        {giveBack, 5000, 1, -1, 0},               // more than the line holds
    };
    TestCacheFs cache;
    cache.initialize(nullptr);
    ASSERT_TRUE(cache.isInitialized());
    int i = 0;
    for (const auto& step : steps) {
        int result = step.op == reserve    ? cache.reserve(step.amount, 0, 0, 0)
                     : step.op == release  ? cache.release(step.amount, false)
                     : step.op == giveBack ? cache.reserveOnDisk(-static_cast<long>(step.amount), 0, 0, 0, false)
                                           : cache.release(0, true);
        EXPECT_EQ(result, step.result) << "step " << i;
        EXPECT_EQ(ownBlocks(), step.lineBlocks) << "step " << i << ": " << text_;
        EXPECT_EQ(cache.getReserveBuffer(), step.buffer) << "step " << i;
        ++i;
    }
    EXPECT_TRUE(cache.cleanupDemands.empty());
}

TEST_F(Reservation, OwnLineFormAndCreationMode) {
    const mode_t previous = umask(0);
    TestCacheFs cache;
    cache.initialize(nullptr);
    const uint32_t before = JobResultsCacheFs::getCurrentTime();
    ASSERT_EQ(cache.reserve(10000000, 0, 0, 0), 1);
    umask(previous);
    const std::string text = readFileText(reserveFile());
    const std::string head = "42:" + myId() + " 12207 ";
    ASSERT_EQ(text.substr(0, head.size()), head);
    const uint32_t time = static_cast<uint32_t>(std::stoul(text.substr(head.size())));
    EXPECT_GE(time, before);
    EXPECT_LE(time, JobResultsCacheFs::getCurrentTime());
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    EXPECT_EQ(text.find('\n'), text.size() - 1) << "one line";
    struct stat st {};
    ASSERT_EQ(stat(reserveFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u) << "every account of the product locks and rewrites it";
    EXPECT_EQ(cache.getLastReservedBlocks(), 12207);
}

TEST_F(Reservation, DisabledUnlessTheSettingSaysNo) {
    configure("");
    TestCacheFs cache;
    cache.initialize(nullptr);
    EXPECT_EQ(cache.reserve(10000000, 0, 0, 0), 1);
    EXPECT_EQ(cache.release(10000000, false), 0);
    EXPECT_EQ(cache.release(0, true), 0);
    EXPECT_FALSE(fs::exists(reserveFile()));
}
