#include <utime.h>

#include "tests/indexcachedir/CacheDirFixture.h"
#include "tests/support/EventCapture.h"
#include "tests/support/SleepRecorder.h"

namespace {
constexpr uint32_t kDay = 86400;

class Periodic : public CacheDirFixture {
protected:
    void configure(const std::string& days) {
        settings.write(settingsText() + "ClientId=17\n[MediaAgent]\n" + (days.empty() ? "" : "dINDEXCLEANALLDAYS=" + days + "\n"));
    }
    std::string marker() const { return settings.dir().file("idx/KR_Index/periodicCleanup"); }
    // An old directory that a sweep removes.
    std::string leaveOld() const {
        leave(1000000, JobResultsCacheDir::Complete);
        return dirPath(1000000);
    }
    void writeMarker(const std::string& text, uint32_t ageDays) const {
        writeFileText(marker(), text);
        time_t when = time(nullptr) - static_cast<time_t>(ageDays) * kDay;
        utimbuf times{when, when};
        utime(marker().c_str(), &times);
    }
    int sweep() {
        JobResultsCacheDir dir(1, 0, 0, 0, static_cast<BackupType>(1), 0, TCacheIndex);
        dir.initialize(nullptr);
        return dir.periodicCleanup();
    }
};
}  // namespace

TEST_F(Periodic, DecidesFromTheSettingTheMarkerAndItsStamp) {
    configure("");
    std::string old = leaveOld();
    EXPECT_EQ(sweep(), 0);
    EXPECT_FALSE(fileExists(marker())) << "no setting: nothing read or written";

    configure("0");
    EXPECT_EQ(sweep(), 0);
    EXPECT_FALSE(fileExists(old)) << "no marker: one sweep";
    std::string text = readFileText(marker());
    EXPECT_EQ(text, std::to_string(strtoul(text.c_str(), nullptr, 10)) + "\r\nclient id 17, name client1\r\n");
    leaveOld();
    EXPECT_EQ(sweep(), 0);
    EXPECT_TRUE(fileExists(old)) << "days 0 with a marker: never again";

    configure("7");
    const uint32_t now = static_cast<uint32_t>(time(nullptr));
    writeMarker("1\r\n", 6);
    EXPECT_EQ(sweep(), 0);
    EXPECT_TRUE(fileExists(old)) << "modified 6 days ago";
    writeMarker(std::to_string(now - 2 * kDay) + "\r\n", 7);
    EXPECT_EQ(sweep(), 0);
    EXPECT_TRUE(fileExists(old)) << "the stamp inside is 2 days old";
    writeMarker(std::to_string(now + 5 * kDay) + "\r\n", 8);
    EXPECT_EQ(sweep(), 0);
    EXPECT_TRUE(fileExists(old)) << "a stamp in the future";
    writeMarker("garbage\r\n", 7);
    EXPECT_EQ(sweep(), 0);
    EXPECT_FALSE(fileExists(old)) << "an unreadable stamp sweeps";
}

TEST_F(Periodic, OneSweepWhateverWaitsForTheMarkerLock) {
    configure("1");
    leaveOld();
    writeMarker("", 2);  // due by its age, with no stamp inside yet
    CXFile sweeper;  // stands for a process in the middle of a sweep
    ASSERT_EQ(sweeper.open(marker().c_str(), sfReadWrite), 0);
    ASSERT_EQ(sweeper.lock(sfLockExclusive, 0), 1);
    {
        EventCapture capture;
        SleepRecorder noWait;
        EXPECT_EQ(sweep(), 0) << "a lock that does not come in time: another process sweeps";
        EXPECT_EQ(capture.debugLinesWith("periodicCleanup: lock timed out for file " + marker()), 1u);
    }
    // Both wait behind the lock at once; the first to get it sweeps, the second finds its stamp.
    HelperProcess a({"periodic_cleanup"});
    HelperProcess b({"periodic_cleanup"});
    ASSERT_EQ(a.readLine(), "waiting");
    ASSERT_EQ(b.readLine(), "waiting");
    sweeper.unlock();
    EXPECT_EQ(a.readLine(), "0");
    EXPECT_EQ(b.readLine(), "0");
    a.wait();
    b.wait();
    std::string journal = settings.journalText();
    size_t sweeps = 0;
    for (size_t at = journal.find("Sorting cache dirs"); at != std::string::npos;
         at = journal.find("Sorting cache dirs", at + 1))
        ++sweeps;
    EXPECT_EQ(sweeps, 1u) << journal;
}
