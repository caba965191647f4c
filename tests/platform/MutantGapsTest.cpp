// Faults the rest of the suite let pass (found by scripts/mutants.sh).
#include <gtest/gtest.h>

#include <filesystem>

#include "Platform/BatchSort.h"
#include "tests/support/FaultInjection.h"
#include "tests/support/TempDir.h"

// A sort whose output cannot be written whole leaves no output that a reader could take for
// the sorted file.
TEST(SortGaps, ASortWhoseOutputWriteFailsLeavesNoOutput) {
    TempDir dir;
    const std::string in = dir.file("in"), out = dir.file("out"), work = dir.file("work");
    std::filesystem::create_directories(work);
    writeFileText(in, "b\na\n");
    BatchSort sorter;
    ASSERT_EQ(sorter.init(in.c_str(), out.c_str(), work.c_str(), 1, 0, 0, 0), 0);
    FaultPlan plan;
    plan.kind = SysKind::Write;
    plan.at = 1;
    plan.persistent = true;
    plan.pathPart = out;
    {
        FaultInjection faults(plan);
        EXPECT_EQ(sorter.sort(), -1);
    }
    EXPECT_FALSE(fileExists(out));
}
