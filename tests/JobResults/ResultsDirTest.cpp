#include "JobResults/JobResultsDir.h"
#include "tests/JobResults/StoreFixture.h"

namespace {

using ResultsDirTest = StoreFixture;

TEST_F(ResultsDirTest, TheJobIdIsSplitIntoTheTwoLevelsBelowTheTalCell) {
    JobResultsDir dir;
    EXPECT_TRUE(dir.reserve(10)) << "not initialized";
    ASSERT_FALSE(dir.initialize(kTalCell, kJobId, true, "client1"));
    EXPECT_EQ(std::string(dir.getCacheDir()), jobDir());
    EXPECT_FALSE(dir.close());  // never opened
    EXPECT_TRUE(dir.open(true));
    EXPECT_FALSE(fileExists(jobDir()));
    ASSERT_FALSE(dir.open(false));
    EXPECT_TRUE(fileExists(jobDir() + "/State"));
    EXPECT_FALSE(dir.close());
    EXPECT_FALSE(dir.open(true));  // exists now
    EXPECT_FALSE(dir.close());

    // A writer does not open a directory another writer holds; a reader may read while it is written.
    ASSERT_FALSE(dir.open(false));
    JobResultsDir second, reader;
    ASSERT_FALSE(second.initialize(kTalCell, kJobId, true, "client1"));
    ASSERT_FALSE(reader.initialize(kTalCell, kJobId, false, "client1"));
    EXPECT_TRUE(second.open(false));
    EXPECT_FALSE(reader.open(true));
    EXPECT_FALSE(reader.close());
    EXPECT_FALSE(dir.close());
    EXPECT_FALSE(second.open(false));
    EXPECT_FALSE(second.close());
}

TEST_F(ResultsDirTest, FileNamesOfEachKind) {
    const struct {
        uint32_t kind; bool fails; const char* file; const char* map;
    } cases[] = {
        {kResultsBackup, false, "backup.out", "1.map"},
        {kResultsRestore, false, "restore.out", "2.map"},
        {kResultsScrapeText, false, "scrapetext.out", "4.map"},
        {kResultsSuccessStubCollect, false, "SuccessStubCollect.krf", "21.map"},
        {kResultsNone, false, nullptr, nullptr},
        {kPagingBackup, true, nullptr, nullptr},
        {99, true, nullptr, nullptr},
    };
    MapProbe store;
    const auto text = [](const char* name) { return name != nullptr ? std::string(name) : "(none)"; };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        EXPECT_EQ(store.computeFileNames(static_cast<ResultsFile>(c.kind)), c.fails);
        EXPECT_EQ(text(store.getFile()) + " " + text(store.mapName()),
                  c.file ? jobFile(c.file) + " " + jobFile(c.map) : "(none) (none)");
    }
    EXPECT_STREQ(pagingFileExtension(kRestoreSkipped), ".sk_rst");
    EXPECT_EQ(pagingFileExtension(kPagingKind7), nullptr);
    EXPECT_EQ(resultsFileName(kPagingCdr), nullptr);
}

}  // namespace
