#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Indexing/idxport/CXLockedMarkerFile.h"
#include "tests/support/HelperProcess.h"
#include "tests/support/SettingsFixture.h"
#include "tests/support/SleepRecorder.h"

namespace {
struct CXLockedMarkerFileTest : ::testing::Test {
    SettingsFixture settings;
    std::string folder = settings.dir().file("cache"), marker = folder + "/restoreInProgress";
    std::function<void()> onSleep;
    SleepRecorder recorder{[this](size_t) { if (onSleep) onSleep(); }};
    std::vector<unsigned long>& sleeps = recorder.ms;

    // What isLocked says in another process.
    std::string check(const std::string& account = "") {
        std::string output;
        std::vector<std::string> args{"marker_check", folder};
        if (!account.empty()) args.push_back(account);
        EXPECT_EQ(runHelper(args, &output), 0);
        return output.substr(0, output.find('\n'));
    }
};
}  // namespace

TEST_F(CXLockedMarkerFileTest, HeldByAnotherProcessUntilItDies) {
    HelperProcess holder({"marker_hold", folder, "abcde"}, "ready");
    EXPECT_EQ(CXLockedMarkerFile(folder, 0).isLocked(), 1);
    EXPECT_EQ(CXLockedMarkerFile(folder, 0).openLocked("other"), 1) << "the lock is taken: timed out";
    EXPECT_TRUE(sleeps.empty()) << "probes never wait";
    EXPECT_EQ(readFileText(marker), std::string("abcde\0", 6)) << "objects that did not lock it leave it alone";
    // Root looks as the unprivileged account, which may only read the marker and search its
    // folders; any other account looks at a marker that nobody may write.
    for (const std::string& dir : {settings.dir().path(), folder}) ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    ASSERT_EQ(chmod(marker.c_str(), 0444), 0);
    EXPECT_EQ(check("other-account"), "1");

    holder.kill(SIGKILL);
    EXPECT_EQ(holder.wait(), 128 + SIGKILL);
    ASSERT_TRUE(fileExists(marker));
    EXPECT_EQ(CXLockedMarkerFile(folder, 0).isLocked(), 0);
    EXPECT_EQ(sleeps, (std::vector<unsigned long>{5000})) << "one confirmation delay between the probes";
    EXPECT_FALSE(fileExists(marker)) << "a dead process's marker is stale";
}

// An observer finds the marker free, waits, and looks again: what happened meanwhile decides.
TEST_F(CXLockedMarkerFileTest, TheConfirmationJudgesTheMarkerThatIsThereThen) {
    CXLockedMarkerFile owner(folder, 0);
    std::optional<HelperProcess> newOwner;
    const struct {
        const char* meanwhile;
        std::function<void()> action;
        int expected;
        bool kept;
        size_t sleeps;
    } cases[] = {
        {"its owner locked it", [&] { EXPECT_EQ(owner.openLocked(nullptr), 0); }, 1, true, 1},
        {"removed, and another process holds a new one",
         [&] {
             unlink(marker.c_str());
             newOwner.emplace(std::vector<std::string>{"marker_hold", folder, "new"}, "ready");
         },
         1, true, 1},
        {"replaced by one whose owner has not locked it yet: confirmed anew",
         [&] {
             unlink(marker.c_str());
             writeFileText(marker, "");
         },
         0, false, 2},
    };
    mkdir(folder.c_str(), 0700);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.meanwhile);
        writeFileText(marker, "");  // created by its owner or left behind, not locked
        sleeps.clear();
        onSleep = [&, done = false]() mutable {
            if (!done && c.action) c.action();
            done = true;
        };
        EXPECT_EQ(CXLockedMarkerFile(folder, 0).isLocked(), c.expected);
        EXPECT_EQ(fileExists(marker), c.kept);
        EXPECT_EQ(sleeps.size(), c.sleeps);
        owner.unLockAndRemove();
        if (newOwner) {
            newOwner->writeLine("");
            EXPECT_EQ(newOwner->wait(), 0);
            newOwner.reset();
        }
        EXPECT_FALSE(fileExists(marker));
    }
}

// A waiter opens the marker, its owner removes it and lets go: the waiter must hold the marker
// that others see, not the removed file.
TEST_F(CXLockedMarkerFileTest, AWaiterHoldsTheMarkerAtItsNameNotTheFileItsOwnerRemoved) {
    HelperProcess holder({"marker_hold", folder, "first"}, "ready");
    onSleep = [&, released = false]() mutable {
        if (released) return;
        released = true;
        holder.writeLine("");
        EXPECT_EQ(holder.wait(), 0);
    };
    CXLockedMarkerFile waiter(folder, 1);
    EXPECT_EQ(waiter.openLocked("mine"), 5);
    EXPECT_EQ(readFileText(marker), std::string("mine\0", 5));
    EXPECT_EQ(check(), "1");
}

TEST_F(CXLockedMarkerFileTest, OwnerLifecycleAndObserversWithoutMarkerOrFolder) {
    umask(022);
    const std::string nested = folder + "/a/b";
    {
        CXLockedMarkerFile owner(nested, "busy", 0);
        EXPECT_EQ(owner.openLocked("abcde"), 6);
        EXPECT_EQ(modeOf(nested), 0700u);
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
}

// Only the holder of the marker at the name removes it on its way out: not an owner that let go
// before the next owner took it, nor a holder whose file was removed and made again meanwhile.
TEST_F(CXLockedMarkerFileTest, OnlyTheHolderOfTheMarkerAtItsNameRemovesIt) {
    std::optional<HelperProcess> next;
    const std::string other = folder + "/other";
    {
        CXLockedMarkerFile owner(folder, 0), held(folder, "other", 0);
        ASSERT_EQ(owner.openLocked(nullptr) + held.openLocked(nullptr), 0);
        EXPECT_EQ(owner.unLock(), 0);
        next.emplace(std::vector<std::string>{"marker_hold", folder, "next"}, "ready");
        ASSERT_EQ(unlink(other.c_str()), 0);
        writeFileText(other, "another owner's");
    }
    EXPECT_EQ(readFileText(marker), std::string("next\0", 5));
    EXPECT_EQ(check(), "1");
    EXPECT_EQ(fileExists(other) ? readFileText(other) : "<removed>", "another owner's");
}
