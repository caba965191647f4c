#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <functional>

#include "Indexing/idxport/CXLockedMarkerFile.h"
#include "Platform/PlatformSleep.h"
#include "tests/support/EventCapture.h"
#include "tests/support/HelperProcess.h"
#include "tests/support/SettingsFixture.h"

namespace {
struct CXLockedMarkerFileTest : ::testing::Test {
    void SetUp() override {
        setPlatformSleepHook([this](unsigned long ms, const char*, int) {
            sleeps.push_back(ms);
            if (onSleep) onSleep();
        });
    }
    void TearDown() override { setPlatformSleepHook({}); }

    SettingsFixture settings{"[Debug]\nIndexDebug=0x2\n"};
    EventCapture capture;
    std::string folder = settings.dir().file("cache"), marker = folder + "/restoreInProgress";
    std::vector<unsigned long> sleeps;
    std::function<void()> onSleep;
};
}  // namespace

TEST_F(CXLockedMarkerFileTest, HeldByAnotherProcessUntilItDies) {
    HelperProcess holder({"marker_hold", folder, "abcde"});
    ASSERT_EQ(holder.readLine(), "ready");
    {
        CXLockedMarkerFile observer(folder, 0), rival(folder, 0);
        EXPECT_EQ(observer.isLocked(), 1);
        EXPECT_EQ(rival.openLocked("other"), 1) << "the lock is taken: timed out";
    }
    EXPECT_TRUE(sleeps.empty()) << "probes never wait";
    EXPECT_EQ(readFileText(marker), std::string("abcde\0", 6)) << "objects that did not lock it leave it alone";

    holder.kill(SIGKILL);
    EXPECT_EQ(holder.wait(), 128 + SIGKILL);
    ASSERT_TRUE(fileExists(marker));
    EXPECT_EQ(CXLockedMarkerFile(folder, 0).isLocked(), 0);
    EXPECT_EQ(sleeps, (std::vector<unsigned long>{5000})) << "one confirmation delay between the probes";
    EXPECT_FALSE(fileExists(marker)) << "a dead process's marker is stale";
}

TEST_F(CXLockedMarkerFileTest, OwnerThatLocksDuringTheConfirmationKeepsItsMarker) {
    mkdir(folder.c_str(), 0700);
    writeFileText(marker, "");  // created by its owner, not locked yet
    CXLockedMarkerFile owner(folder, 0), observer(folder, 0);
    onSleep = [&] { EXPECT_EQ(owner.openLocked(nullptr), 0); };
    EXPECT_EQ(observer.isLocked(), 0);
    EXPECT_EQ(observer.isLocked(), 1);
    EXPECT_EQ(sleeps.size(), 1u);
    EXPECT_EQ(owner.unLockAndRemove(), 0);
    EXPECT_FALSE(fileExists(marker));
}

TEST_F(CXLockedMarkerFileTest, OwnerLifecycleAndObserversWithoutMarkerOrFolder) {
    umask(022);
    const std::string nested = folder + "/a/b";
    {
        CXLockedMarkerFile owner(nested, "busy", 0);
        EXPECT_EQ(owner.openLocked("abcde"), 6);
        struct stat st {};
        EXPECT_EQ(stat(nested.c_str(), &st) == 0 ? st.st_mode & 0777 : 0, 0700u);
        EXPECT_EQ(readFileText(nested + "/busy"), std::string("abcde\0", 6));
        EXPECT_EQ(owner.lock(), -1) << "already locked";
    }
    EXPECT_FALSE(fileExists(nested + "/busy")) << "the owner's destructor removes the marker";
    {
        CXLockedMarkerFile observer(folder, 0), empty(static_cast<const char*>(nullptr), 0);
        EXPECT_EQ(observer.isLocked(), 0);
        EXPECT_FALSE(fileExists(marker)) << "looking creates nothing";
        EXPECT_EQ(observer.unLock(), -10);
        EXPECT_EQ(empty.openLocked("x"), -42);
        EXPECT_EQ(empty.isLocked(), -42);
    }
    EXPECT_TRUE(sleeps.empty());
    const std::string notLocked = "CXLockedMarkerFile::~CXLockedMarkerFile: Failed to unlock '";
    EXPECT_EQ(capture.debugMessages(),
              (std::vector<std::string>{"CXLockedMarkerFile::CXLockedMarkerFile: ERROR: folder name is empty!",
                                        "CXLockedMarkerFile::openLocked: Failed to open file because folder name is empty!",
                                        notLocked + "' because file was not locked.",
                                        notLocked + marker + "' because file was not locked."}));
}
