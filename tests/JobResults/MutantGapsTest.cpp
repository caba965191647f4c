// Faults the rest of the suite let pass (found by scripts/mutants.sh).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <functional>

#include "Indexing/idxport/CXFile.h"
#include "Platform/SettingsStore.h"
#include "tests/JobResults/RetrieveFixture.h"
#include "tests/JobResults/StoreFixture.h"
#include "tests/support/FaultInjection.h"

namespace {
class ResultsGaps : public RetrieveFixture {};

// Writers that put a new file in place by a rename sync it first: after a power loss, a file
// renamed into place unsynced may read empty or partial under its name. A sync that fails
// therefore fails the write and leaves what was at the name before.
TEST_F(ResultsGaps, AFailedSyncOfTheNewFileFailsTheWriteAndKeepsTheOldOne) {
    const std::string ini = settings.dir().file("other.ini");
    struct Case {
        const char* name;
        std::string path, before;  // the file put in place and its content before ("": none)
        const char* tempPart;      // in the temporary's name
        std::function<bool()> write;
    } cases[] = {
        {"settings rewrite", ini, "[S]\nnOld=1\n", "other.ini.tmp.",
         [&] { return SettingsStore::setText(ini, "S", "nNew", "2"); }},
        {"results file generated at the first page", inJob("backup.out"), "", ".generating.",
         [&] {
             bool failed = true;
             RetrieveResults r = reader();
             fetchPage(r, 1, 10, &failed);
             return !failed;
         }},
    };
    makeJobDir();
    writeFileText(inJob("backup_11_100"), "a1\r\n");
    writeFileText(ini, "[S]\nnOld=1\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FaultPlan plan;
        plan.kind = SysKind::Sync;
        plan.at = 1;
        plan.persistent = true;
        plan.pathPart = c.tempPart;
        {
            FaultInjection faults(plan);
            EXPECT_FALSE(c.write());
        }
        EXPECT_EQ(fileExists(c.path) ? readFileText(c.path) : "", c.before);
    }
}

// A map being written (its writer holds State) may lack lines, but an entry that skips a line
// start would serve two lines as one: the page fails instead.
TEST_F(ResultsGaps, AMapEntryThatSkipsALineFailsThePage) {
    writeResults({"x 1", "x 2", "x 3", "x 4"}, false);
    unsigned char entries[3 * kMapEntrySize];
    for (int i = 0; i < 3; ++i) encodeMapEntry(i == 0 ? 0 : 5 * (i + 1), entries + i * kMapEntrySize);
    writeFileText(inJob("1.map"), std::string(reinterpret_cast<const char*>(entries), sizeof entries));
    writeFileText(inJob("State"), "3\r\n1700000000    \r\n");
    CXFile writer;
    ASSERT_EQ(writer.open(inJob("State").c_str(), sfReadWrite), 0);
    ASSERT_EQ(writer.lock(sfLockExclusive, 0), 1);
    RetrieveResults r = reader();
    bool failed = false;
    const Page page = fetchPage(r, 1, 10, &failed);
    EXPECT_TRUE(failed);
    EXPECT_EQ(page.code, 6);
    EXPECT_TRUE(page.lines.empty()) << page.lines.front();
}

// A line longer than the writer's buffer goes to the file as it is written: when that write
// fails part-way, what reached the file is cut away again, and the writer goes on.
class StoreGaps : public StoreFixture {};

TEST_F(StoreGaps, ALongLineWhoseWriteFailsLeavesNoPartOfIt) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY}, limited{50000, RLIM_INFINITY};
    StoreResults store(kTalCell, kJobId, true, "client1");
    ASSERT_FALSE(store.openFile(kResultsBackup, true, true));
    ASSERT_FALSE(store.putLine("first", true));
    setrlimit(RLIMIT_FSIZE, &limited);
    const bool failed = store.putLine(std::string(100000, 'x').c_str(), false);
    setrlimit(RLIMIT_FSIZE, &unlimited);
    EXPECT_TRUE(failed);
    ASSERT_FALSE(store.putLine("next", true));
    ASSERT_FALSE(store.closeFile());
    EXPECT_EQ(readFileText(jobFile("backup.out")), "first\r\nnext\r\n");
}
}  // namespace
