#include <gtest/gtest.h>
#include <sys/stat.h>

#include "Indexing/icommon/SafeFileOps.h"
#include "tests/support/DeniedDirectory.h"
#include "tests/support/EventCapture.h"
#include "tests/support/SettingsFixture.h"
#include "tests/support/SleepRecorder.h"

namespace {
struct SafeFileOps : ::testing::Test {
    SettingsFixture settings;
    const TempDir& dir = settings.dir();
    const std::string locked = dir.file("locked");
    EventCapture capture;
    size_t liftAt = 0;
    SleepRecorder recorder{[this](size_t n) { if (n == liftAt) chmod(locked.c_str(), 0700); }};
    const std::vector<unsigned long>& sleeps = recorder.ms;
};
}  // namespace

// Only a denial is retried (a share may refuse briefly); a name taken is refused at once, by
// the no-replace rename without touching either file.
TEST_F(SafeFileOps, OnlyPermissionDeniedIsRetriedTwentyTimes) {
    const std::string from = dir.file("from"), to = locked + "/to", sub = locked + "/sub", full = dir.file("full");
    writeFileText(from, "data");
    ASSERT_EQ(mkdir(locked.c_str(), 0700) + mkdir(sub.c_str(), 0700) + mkdir(full.c_str(), 0700), 0);
    ASSERT_EQ(chmod(locked.c_str(), 0500), 0);
    writeFileText(full + "/f", "x");
    EXPECT_EQ(safeRenameNoReplace(from.c_str(), (full + "/f").c_str()), -1) << "an existing target is kept";
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(readFileText(from) + readFileText(full + "/f"), "datax");
    EXPECT_TRUE(sleeps.empty()) << "and refused at once";
    capture.clear();
    int renamed = -2, renameErrno = 0, removed = -2;
    if (!runWhereDirectoryRefusesWrites(locked, [&] {
            renamed = safeRename(from.c_str(), to.c_str());
            renameErrno = errno;
            liftAt = 21;  // the denial ends during the rmdir's second wait
            removed = safeRmdir(sub.c_str());
        }))
        GTEST_SKIP() << "cannot produce EACCES on this system";
    EXPECT_EQ(renamed, -1);
    EXPECT_EQ(renameErrno, EACCES) << "the last attempt's error reaches the caller";
    EXPECT_EQ(removed, 0) << "succeeds at the attempt after the denial ends";
    EXPECT_EQ(sleeps, std::vector<unsigned long>(21, 1000)) << "19 waits for the rename, 2 for the rmdir";

    EXPECT_EQ(safeRename(dir.file("missing").c_str(), to.c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(safeRmdir(full.c_str()), -1);
    EXPECT_EQ(errno, ENOTEMPTY);
    EXPECT_EQ(sleeps.size(), 21u) << "other errors fail at once";
    std::vector<std::string> lines = capture.debugMessages();
    ASSERT_EQ(lines.size(), 25u) << "20 failures and the final line, 2 failures, one line each";
    EXPECT_EQ(lines[20], "RENAME: cannot rename " + from + " to " + to + ", too many retries (20)");
}

TEST_F(SafeFileOps, UnlinkAndRecursiveMkdir) {
    const std::string a = dir.file("a"), c = a + "/b/c", file = a + "/file";
    ASSERT_EQ(mkdir(a.c_str(), 0700), 0);
    writeFileText(file, "x");
    EXPECT_EQ(safeUnlink(file.c_str()) + safeUnlink(file.c_str()), 0) << "a missing file counts as deleted";
    EXPECT_EQ(safeUnlink(a.c_str()), -1);

    umask(022);
    ASSERT_EQ(recursiveMkdir(c.c_str(), 0750), 0);
    EXPECT_EQ(modeOf(a + "/b"), 0750u) << "parents get the mode too";
    EXPECT_EQ(modeOf(c), 0750u);
    EXPECT_EQ(recursiveMkdir(c.c_str(), 0700), 0) << "an existing directory is success";
    writeFileText(file, "x");
    EXPECT_EQ(recursiveMkdir(file.c_str(), 0700), -1) << "a file holding the name is no directory";
    EXPECT_EQ(errno, EEXIST);

    std::string path = dir.path();
    while (path.size() < 1026) path += "/" + std::string(std::min<size_t>(200, 1026 - path.size() - 1), 'd');
    EXPECT_EQ(recursiveMkdir((path + "e").c_str(), 0700), -1) << "1027 characters";
    EXPECT_EQ(errno, -777);
    EXPECT_EQ(recursiveMkdir(path.c_str(), 0700), 0) << "1026 characters still fit";
}
