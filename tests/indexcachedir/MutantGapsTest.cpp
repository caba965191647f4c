// Faults the rest of the suite let pass (found by scripts/mutants.sh).
#include "tests/indexcachedir/CacheDirFixture.h"

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
}  // namespace
