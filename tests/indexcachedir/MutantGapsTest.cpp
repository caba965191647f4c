// Faults the rest of the suite let pass (found by scripts/mutants.sh).
#include <cstdio>

#include "tests/indexcachedir/CacheDirFixture.h"
#include "tests/support/SleepRecorder.h"

namespace {
class CacheDirGaps : public CacheDirFixture {};

// A Writing directory whose writer is gone is discarded by the next open, but only when no
// process holds it at all: a reader's shared lock keeps it.
TEST_F(CacheDirGaps, AWritingDirectoryAnotherProcessHoldsSharedIsNotDiscarded) {
    leave(100, JobResultsCacheDir::Complete);
    leave(300, JobResultsCacheDir::Writing);
    const auto holder = heldBy("read", 300);
    TestDir reader;
    ASSERT_NE(reader.open(0, false), nullptr);
    EXPECT_EQ(reader.getTimeStamp(), 100u);
    EXPECT_TRUE(fileExists(dirPath(300) + "/index.dat"));
    reader.close(false);
    holder->writeLine("done");
    holder->wait();
}

// A remover keeps its exclusive lock until the directory itself is gone: with its rmdir slowed
// down, a creator waiting for the lock still gets it only afterwards, and makes the directory
// again instead of a State file that the rmdir then trips over.
TEST_F(CacheDirGaps, ARemoverSlowToRemoveTheDirectoryStillHoldsItsLockTillThen) {
    if (!straceAvailable()) GTEST_SKIP() << "strace is not available";
    TestDir first(900, kAppTypeJobResults);
    ASSERT_NE(first.create(0), nullptr);
    ASSERT_EQ(first.close(false), 0);
    const std::string said = settings.dir().file("remover.out");
    const std::string command = kUnderStrace + " -e trace=rmdir -e inject=rmdir:delay_enter=300000 " VORNICA_TEST_HELPER
                                " cachedir_stage 2 7 900 remove 1001 >" + said;
    FILE* remover = popen(command.c_str(), "w");
    ASSERT_NE(remover, nullptr);
    for (int i = 0; i < 500 && readFileText(said).find("ready") == std::string::npos; ++i) YUSLEEP(10);
    SleepRecorder watch([&](size_t n) { if (n == 1) fputs("go\n", remover), fflush(remover); }, 20);
    TestDir creator(900, kAppTypeJobResults);
    EXPECT_NE(creator.create(0), nullptr);
    EXPECT_EQ(pclose(remover), 0);
    EXPECT_EQ(readFileText(said), "ready\n0\n");
    EXPECT_EQ(readFileText(clientDirPath(900) + "/State").substr(0, 1), "3");
    EXPECT_EQ(creator.close(false), 0);
}
}  // namespace
