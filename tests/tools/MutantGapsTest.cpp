// Faults the rest of the suite let pass (found by scripts/mutants.sh).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>

#include "tests/support/SettingsFixture.h"

// The retrieval program's exit code tells the session whether the page was served: a page that
// fails (here: the job has no results directory) is never reported as served.
TEST(RetrieveProgramGaps, APageThatFailsEndsWithExitCodeOne) {
    SettingsFixture settings;
    settings.write("[Focus]\nClientName=client1\n[~Machines\\client1]\nJobResultsDirectory=" +
                   settings.dir().file("idx") + "\n");
    const int status = std::system(VORNICA_TOOLS_DIR "/KRRetrieveResults 2 1234 1 7 1 5 >/dev/null 2>&1");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
}
