#include "tests/indexcachedir/CacheDirFixture.h"
#include "tests/support/EventCapture.h"
#include "tests/support/SleepRecorder.h"

namespace {
constexpr unsigned long kStamp = 1700000000;

class CacheDir : public CacheDirFixture {
protected:
    std::string stateText(unsigned long stamp = kStamp) const { return readFileText(dirPath(stamp) + "/State"); }
};
}  // namespace

TEST_F(CacheDir, StateFileLayoutsAreKeptByteForByte) {
    TestDir dir(kStamp);
    dir.mkCacheDir();
    dir.setState(JobResultsCacheDir::Writing);
    EXPECT_EQ(stateText(), "3\r\n") << "an empty file gets CR LF";
    ASSERT_EQ(dir.putAtime("1234567890    "), 0);
    EXPECT_EQ(stateText(), "3\r\n1234567890    \r\n");
    ASSERT_EQ(dir.putAtime("999    "), 0);
    EXPECT_EQ(stateText(), "3\r\n999    \r\n0    \r\n") << "the stale tail stays";
    EXPECT_EQ(dir.getAtime(), static_cast<int>(kStamp)) << "an access time before the time stamp is raised";
    EXPECT_EQ(dir.getState(false), JobResultsCacheDir::Writing);
    dir.setState(JobResultsCacheDir::Complete);
    EXPECT_EQ(dir.getState(false), JobResultsCacheDir::Complete);

    writeFileText(dirPath(kStamp) + "/State", "2\n1800000000    \r\n");
    dir.setState(JobResultsCacheDir::Suspended);
    EXPECT_EQ(stateText(), "1\n1800000000    \r\n") << "LF line ends are kept";

    writeFileText(dirPath(kStamp) + "/State", "x\r\n");
    EXPECT_EQ(dir.getState(false), -1);
    EXPECT_FALSE(dir.stateError());
    writeFileText(dirPath(kStamp) + "/State", "3x1800000000\r\n");
    EXPECT_THROW(dir.setState(JobResultsCacheDir::Complete), TestDir::Failure) << "an unknown line end";
}

// A State that cannot be read is retried ten times, a second apart, and then taken as
// unavailable for the life of the object.
TEST_F(CacheDir, StateFailuresRaiseEventsAndKeepCodes) {
    EventCapture capture;
    SleepRecorder sleeps;
    EXPECT_FALSE(TestDir(kStamp, 5).isInitialized()) << "an unknown application type leaves the object unusable";
    EXPECT_EQ(TestDir(0).getCacheDir(), nullptr) << "without a time stamp the path is chosen later";
    TestDir dir(kStamp);
    EXPECT_TRUE(dir.stateError()) << "no State file open";
    EXPECT_EQ(dir.getErrno(), JobResultsCacheDir::kErrNotOpened);
    EXPECT_EQ(dir.getAtime(), 0) << "no State file";
    EXPECT_EQ(sleeps.ms, std::vector<unsigned long>(9, 1000));
    EXPECT_EQ(dir.getErrno(), JobResultsCacheDir::kErrStateUnreadable);
    dir.mkCacheDir();
    writeFileText(dirPath(kStamp) + "/State", "");
    EXPECT_TRUE(dir.stateError()) << "an empty file has no state";
    EXPECT_THROW(dir.getState(true), TestDir::Failure);
    writeFileText(dirPath(kStamp) + "/State", "3\t99\r\n");
    EXPECT_EQ(dir.putAtime("5"), -1) << "a second byte that is neither LF nor CR";
    EXPECT_EQ(dir.getErrno(), JobResultsCacheDir::kErrStateUnreadable);
    auto events = capture.ofKind("event");
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().messageId, 0xE000031u);
    ASSERT_EQ(events.back().args.size(), 1u);
    EXPECT_EQ(events.back().args[0].text, dirPath(kStamp));

    writeFileText(dirPath(kStamp) + "/State", "3\r\n1800000000    \r\n");
    EXPECT_EQ(dir.getAtime(), 0) << "once unavailable, 0 at once";
    EXPECT_EQ(sleeps.ms.size(), 9u);
    EXPECT_EQ(TestDir(kStamp).getAtime(), 1800000000);
}

TEST_F(CacheDir, LockSlots) {
    TestDir dir(kStamp);
    dir.mkCacheDir();
    EXPECT_TRUE(dir.alreadyLocked()) << "a new directory is held exclusively";
    EXPECT_EQ(dir.readLock(0), -1) << "a second lock on one directory, timeout 0";
    EXPECT_THROW(dir.readLock(5), TestDir::Failure) << "already locked";
    for (uint32_t stamp = kStamp + 1; stamp <= kStamp + 3; ++stamp) {
        dir.pointAt(stamp);
        mkdir(dirPath(stamp).c_str(), 0755);
        EXPECT_EQ(dir.readLock(0), -1) << "a lock never makes the State file";
        writeFileText(dirPath(stamp) + "/State", "0\r\n");
        EXPECT_EQ(dir.readLock(0), 1);
    }
    dir.pointAt(kStamp + 4);
    mkdir(dirPath(kStamp + 4).c_str(), 0755);
    writeFileText(dirPath(kStamp + 4) + "/State", "0\r\n");
    EXPECT_EQ(dir.readLock(0), -1) << "a fifth lock";
    EXPECT_THROW(dir.readLock(1), TestDir::Failure) << "no more locks available";
    dir.pointAt(kStamp + 3);
    EXPECT_EQ(dir.unLock(), 0);
    dir.pointAt(kStamp + 4);
    EXPECT_EQ(dir.readLock(0), 1) << "a freed slot is used again";
    EXPECT_TRUE(dir.alreadyLocked());
}

TEST(CacheDirSettings, SpaceSaverDecidesCopying) {
    struct Case {
        const char* value;
        bool copy;
        uint64_t threshold;
    } cases[] = {{"YES", false, 2048}, {"500", true, 500}, {"abc", true, 2048}};
    for (const Case& c : cases) {
        // The setting is read once per process: each case runs in a helper process.
        SettingsFixture settings(std::string("[MediaAgent]\nsSPACESAVER=") + c.value + "\n");
        std::string out;
        ASSERT_EQ(runHelper({"cachedir_copy_setting"}, &out), 0);
        EXPECT_EQ(out, std::string(c.copy ? "1 " : "0 ") + std::to_string(c.threshold) + "\n") << c.value;
    }
}

// Each failure leaves a code the caller can read and a journal line that names its cause.
class ErrorReason : public CacheDirFixture {};

TEST_F(ErrorReason, EachFailureLeavesItsCodeAndAJournalLineThatSaysWhy) {
    const unsigned long stamp = 1700000000;
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::function<int()> act;  // the code the caller reads
        int code;
        std::string said;
    };
    const std::string missing = settings.dir().file("absent.ini");
    const auto exactOpen = [](unsigned long at) {
        TestDir reader;
        return reader.open(at, true) == nullptr ? reader.getErrno() : 0;
    };
    const Case cases[] = {
        {"bad app type", [] {}, [] { return TestDir(0, 5).getErrno(); }, EINVAL,
         "invalid app type 5: the index cache takes 1 or 7"},
        {"exact open of a directory being written", [&] { leave(stamp, 3); },
         [&] { const auto writer = heldBy("write", stamp); return exactOpen(stamp); },
         JobResultsCacheDir::kErrBusy, "directory 1700000000 is busy: another process is writing"},
        {"exact open of a directory whose writer died", [&] { leave(stamp, 3); }, [&] { return exactOpen(stamp); }, ENOENT,
         "directory 1700000000 was discarded: its writer ended"},
        {"exact open of a missing directory", [] {}, [&] { return exactOpen(stamp + 1); }, ENOENT,
         "/1700000001 does not exist"},
        {"job results without the client role",
         [&] { settings.write("[Focus]\nClientName=client1\n"); },
         [] { return static_cast<int>(TestDir(0, kAppTypeJobResults).getInitializationFailureReason()); },
         eNoJobResultsDirectory, "Not a TalClient platform: give the client its job results role: [Platform] TalClient=yes"},
        {"settings file missing",
         [&] { setenv("VORNICA_CONFIG", missing.c_str(), 1); },
         [] { return static_cast<int>(TestDir().getInitializationFailureReason()); }, eNoIndexCacheBase,
         "set [MediaAgent] IndexCacheDirectory (or the client's own) in " + missing + ", which does not exist"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        settings.write(settingsText());
        setenv("VORNICA_CONFIG", settings.configPath().c_str(), 1);
        c.arrange();
        EventCapture journal;
        EXPECT_EQ(c.act(), c.code);
        EXPECT_EQ(journal.debugLinesWith(c.said), 1u) << testing::PrintToString(journal.debugMessages());
    }
}
