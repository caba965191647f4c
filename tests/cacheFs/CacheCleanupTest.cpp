#include <gtest/gtest.h>

#include <filesystem>

#include "Indexing/cacheFs/CacheDirArray.h"
#include "Indexing/cacheFs/JobResultsCacheFs.h"
#include "Indexing/indexcachedir/JobResultsCacheDir.h"
#include "tests/support/EventCapture.h"
#include "tests/support/SettingsFixture.h"
#include "tests/support/SleepRecorder.h"

namespace fs = std::filesystem;

namespace {
constexpr uint32_t kDay = 86400;

// A volume of 1000 blocks where every cache directory on disk takes 100 of them.
class MeasuredCacheFs : public JobResultsCacheFs {
public:
    MeasuredCacheFs() : JobResultsCacheFs(1, TCacheIndex) { initialize("client1"); }

protected:
    int measureFreeSpace(int& error) override {
        const char* root = cacheFs_;
        if (root == nullptr || !fs::exists(root)) {
            error = ENOENT;
            return -1;
        }
        uint64_t dirs = 0;
        for (const auto& entry : fs::recursive_directory_iterator(root))
            if (entry.is_directory() && entry.path().parent_path().parent_path().parent_path() == fs::path(root)) ++dirs;
        blockSize_ = 1024;
        totalBlocks_ = 1000;
        freeBlocks_ = dirs * 100 >= 1000 ? 0 : 1000 - dirs * 100;
        return 0;
    }
};

class Cleanup : public ::testing::Test {
protected:
    void SetUp() override {
        settings.write("[Focus]\nClientName=client1\n[MediaAgent]\nIndexCacheDirectory=" + settings.dir().file("idx") +
                       "\n");
        fs::create_directories(root());
        now = JobResultsCacheFs::getCurrentTime();
    }
    std::string root() const { return settings.dir().file("idx/KR_Index"); }
    std::string dirPath(unsigned long app, uint32_t stamp) const {
        return root() + "/2/" + std::to_string(app) + "/" + std::to_string(stamp);
    }
    void leave(unsigned long app, uint32_t stamp) const {
        fs::create_directories(dirPath(app, stamp));
        writeFileText(dirPath(app, stamp) + "/State", "0\r\n" + std::to_string(stamp) + "    \r\n");
    }
    bool present(unsigned long app, uint32_t stamp) const { return fs::exists(dirPath(app, stamp)); }

    SettingsFixture settings;
    uint32_t now = 0;
};
}  // namespace

// The oldest go first and no more than needed; a cleanup for a reservation never takes recent
// directories, nor does one of the whole cache, but one of a named app does in its second pass.
TEST_F(Cleanup, StopsAsSoonAsBothGoalsAreMetAndSparesRecentDirectories) {
    for (uint32_t age : {20u, 18u, 16u, 2u, 1u}) leave(7, now - age * kDay);
    MeasuredCacheFs cache;
    cache.setCleanupPad(0);
    EXPECT_EQ(cache.setDiskFree(100), -1) << "at most 99 percent";
    cache.setDiskFree(65);  // 650 free blocks wanted: two removals
    EXPECT_EQ(cache.cleanUp(100, false, false, false, 0, 0, 0, 0, 0, 0), 1);
    EXPECT_FALSE(present(7, now - 20 * kDay) || present(7, now - 18 * kDay));
    EXPECT_TRUE(present(7, now - 16 * kDay));

    cache.setDiskFree(0);
    EXPECT_EQ(cache.cleanUp(0, true, false, false, 0, 0, 0, 0, 0, 0), 1) << "all old ones, then done";
    EXPECT_FALSE(present(7, now - 16 * kDay));
    EXPECT_TRUE(present(7, now - 2 * kDay));

    for (uint32_t age : {20u, 18u}) leave(7, now - age * kDay);
    EventCapture capture;
    EXPECT_EQ(cache.cleanUpForSpace(900, 0, 0, 0), 0) << "the goal cannot be met with old directories alone";
    EXPECT_FALSE(present(7, now - 20 * kDay) || present(7, now - 18 * kDay));
    EXPECT_TRUE(present(7, now - 2 * kDay) && present(7, now - kDay));
    EXPECT_EQ(capture.debugLinesWith("JOBRESFS: to prevent thrashing, recent cache dirs are no longer removed"), 1u);

    EXPECT_EQ(cache.cleanUp(950, false, false, false, 2, 7, 0, 0, 0, 0), 1);
    EXPECT_FALSE(present(7, now - 2 * kDay) || present(7, now - kDay));
}

TEST_F(Cleanup, CutoffBoundaryAndWhatTheScanIgnores) {
    const uint32_t cutoff = now - 30 * kDay;
    leave(7, cutoff - 1);
    leave(7, cutoff);
    leave(8, cutoff - 5);
    fs::create_directories(root() + "/2/7/12ab");
    fs::create_directories(root() + "/2/x7/100");
    fs::create_directories(root() + "/notdigits/7/100");
    MeasuredCacheFs cache;
    cache.setCutoffTime(cutoff);
    cache.setDiskFree(0);
    EXPECT_EQ(cache.cleanUp(0, true, false, false, 2, 7, 0, 0, 0, 0), 1);
    EXPECT_FALSE(present(7, cutoff - 1));
    EXPECT_TRUE(present(7, cutoff)) << "exactly at the cutoff is not old";
    EXPECT_TRUE(present(8, cutoff - 5)) << "only app 7 was asked for";
    EXPECT_TRUE(fs::exists(root() + "/2/7/12ab"));
    EXPECT_TRUE(fs::exists(root() + "/notdigits/7/100"));

    // The caller's own directory never enters the array; the page cache's time stamp is not "old".
    // By access time the directory used last comes first, else the newest.
    leave(9, 0xFFFFFFFFu);
    leave(9, cutoff - 10);
    writeFileText(dirPath(9, cutoff - 10) + "/State", "0\r\n" + std::to_string(now) + "    \r\n");
    JobResultsCacheDir mine(1, 2, 8, 0, static_cast<BackupType>(1), cutoff - 5, TCacheIndex);
    mine.initialize("client1");
    for (const bool byAccess : {false, true}) {
        CacheDirArray array;
        ASSERT_EQ(mine.scanForCleanUp(array, byAccess, 0, 0), 0);
        std::vector<unsigned long> stamps;
        for (int i = 0; i < array.getSize(); ++i) stamps.push_back(array.at(i)->getTimeStamp());
        EXPECT_EQ(stamps, byAccess ? (std::vector<unsigned long>{0xFFFFFFFFu, cutoff - 10, cutoff})
                                   : (std::vector<unsigned long>{0xFFFFFFFFu, cutoff, cutoff - 10}))
            << byAccess;
        if (byAccess) {
            writeFileText(dirPath(9, cutoff - 10) + "/State", "0\r\n1\r\n");
            EXPECT_EQ(static_cast<uint32_t>(array.at(1)->getAtime()), now) << "the time the sort read holds";
        }
        EXPECT_EQ(array.remove(5), 0);
        EXPECT_EQ(array.getSize(), 3);
    }
}

TEST_F(Cleanup, FailureEventsAreLimitedPerObject) {
    MeasuredCacheFs cache;
    fs::remove_all(root());
    EventCapture capture;
    for (int i = 0; i < 13; ++i) EXPECT_EQ(cache.cleanUp(10, false, true, false, 0, 0, 0, 0, 0, 0), -1);
    int events = 0;
    for (const JournalRecord& r : capture.ofKind("event")) events += r.messageId == 0xE000047 ? 1 : 0;
    EXPECT_EQ(events, 12);
    EXPECT_EQ(capture.debugLinesWith("JOBRESFS: bad scan for cleanUp"), 13u) << "every failure is still logged";
}

TEST_F(Cleanup, WhichDirectoriesAreOldAndWhichAreHandedOver) {
    struct Case {
        const char* what;
        unsigned numDays;
        bool useAccessTime;
        unsigned long removeBefore;
        uint32_t keepStamp;  // of app 7; 0 = none
        std::vector<uint32_t> gone;  // ages in days of the directories removed
    };
    // Directories 40, 30 and 20 days old; the 40-day one was used 1 day ago.
    const std::vector<Case> cases = {
        {"10 days", 10, false, 0, 0, {40, 30, 20}},
        {"keep for ever: the cut-off lies before 1970", 36500, false, 0, 0, {}},
        {"just past the 32-bit wrap", 20400, false, 0, 0, {}},
        {"by access time", 10, true, 0, 0, {30, 20}},
        {"only before a time", 10, false, now - 35 * kDay, 0, {40}},
        {"the caller's own is kept", 10, false, 0, now - 30 * kDay, {40, 20}},
    };
    for (const Case& c : cases) {
        for (uint32_t age : {40u, 30u, 20u}) leave(7, now - age * kDay);
        writeFileText(dirPath(7, now - 40 * kDay) + "/State", "0\r\n" + std::to_string(now - kDay) + "    \r\n");
        MeasuredCacheFs cache;
        cache.setNumDays(c.numDays);
        cache.setDiskFree(0);
        EXPECT_GE(cache.cleanUp(0, true, false, c.useAccessTime, 0, 0, c.removeBefore, c.keepStamp ? 2 : 0,
                                c.keepStamp ? 7 : 0, c.keepStamp),
                  0)
            << c.what;
        std::vector<uint32_t> gone;
        for (uint32_t age : {40u, 30u, 20u})
            if (!present(7, now - age * kDay)) gone.push_back(age);
        EXPECT_EQ(gone, c.gone) << c.what;
        fs::remove_all(root() + "/2");
    }
}

TEST_F(Cleanup, DirectoriesWithAnUnreadableStateGoUnderTheirLock) {
    SleepRecorder noWait;
    const uint32_t old = now - 5 * kDay;
    leave(7, old);
    writeFileText(dirPath(7, old) + "/State", "");  // torn
    leave(7, old + 1);
    fs::remove(dirPath(7, old + 1) + "/State");       // lost
    leave(7, old + 2);
    writeFileText(dirPath(7, old + 2) + "/State", "x");  // torn, and held by a live process
    fs::create_directories(dirPath(7, now));           // recent and without State: being made
    MeasuredCacheFs cache;
    cache.setNumDays(0);
    cache.setCutoffTime(now + 10);
    cache.setDiskFree(0);
    CXFile lock;
    ASSERT_EQ(lock.open((dirPath(7, old + 2) + "/State").c_str(), sfReadWrite), 0);
    ASSERT_EQ(lock.lock(sfLockExclusive, 0), 1);
    cache.cleanUp(0, true, false, true, 0, 0, 0, 0, 0, 0);
    EXPECT_FALSE(present(7, old));
    EXPECT_FALSE(present(7, old + 1));
    EXPECT_TRUE(present(7, old + 2)) << "another process holds its lock";
    EXPECT_TRUE(present(7, now)) << "a recent one without State is left to the job making it";
    EXPECT_EQ(noWait.ms.size(), 4u * 9) << "each State is read once: ten attempts when the scan sorts, none again";
}
