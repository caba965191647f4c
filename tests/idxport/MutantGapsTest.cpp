// Faults the rest of the suite let pass (found by scripts/mutants.sh).
#include <gtest/gtest.h>
#include <unistd.h>

#include "Indexing/idxport/CXLockedMarkerFile.h"
#include "tests/support/TempDir.h"

// Only the holder of the marker at the name removes it: a holder whose file was removed and
// made again by another owner meanwhile leaves the new marker on its way out.
TEST(MarkerGaps, AHolderLeavesAMarkerMadeAgainByAnotherOwner) {
    TempDir dir;
    const std::string path = dir.file("marker");
    {
        CXLockedMarkerFile held(dir.path(), "marker", 0);
        ASSERT_EQ(held.openLocked(nullptr), 0);
        ASSERT_EQ(unlink(path.c_str()), 0);
        writeFileText(path, "another owner's");
    }
    EXPECT_EQ(fileExists(path) ? readFileText(path) : "<removed>", "another owner's");
}
