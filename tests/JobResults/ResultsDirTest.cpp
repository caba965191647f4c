#include <filesystem>
#include <string>

#include "Indexing/indexcachedir/JobResultsCacheDir.h"
#include "JobResults/JobResultsDir.h"
#include "tests/JobResults/StoreFixture.h"

namespace {

namespace fs = std::filesystem;

class ResultsDirTest : public StoreFixture {};

TEST_F(ResultsDirTest, TheJobIdIsSplitIntoTheTwoLevelsBelowTheTalCell) {
    JobResultsDir dir;
    ASSERT_FALSE(dir.initialize(kTalCell, kJobId, true, "client1"));
    EXPECT_EQ(std::string(dir.getCacheDir()), jobDir());
    EXPECT_FALSE(dir.close());  // never opened
    EXPECT_TRUE(dir.open(true));
    EXPECT_FALSE(fs::exists(jobDir()));
    ASSERT_FALSE(dir.open(false));
    EXPECT_TRUE(fs::exists(jobDir() + "/State"));
    EXPECT_FALSE(dir.close());
    EXPECT_FALSE(dir.open(true));  // exists now
    EXPECT_FALSE(dir.close());
}

TEST_F(ResultsDirTest, AWriterDoesNotOpenADirectoryAnotherWriterHolds) {
    JobResultsDir first;
    JobResultsDir second;
    JobResultsDir reader;
    ASSERT_FALSE(first.initialize(kTalCell, kJobId, true, "client1"));
    ASSERT_FALSE(second.initialize(kTalCell, kJobId, true, "client1"));
    ASSERT_FALSE(reader.initialize(kTalCell, kJobId, false, "client1"));
    ASSERT_FALSE(first.open(false));
    EXPECT_TRUE(second.open(false));
    EXPECT_FALSE(reader.open(true));  // a reader may read while it is written
    EXPECT_FALSE(reader.close());
    EXPECT_FALSE(first.close());
    EXPECT_FALSE(second.open(false));
    EXPECT_FALSE(second.close());
}

TEST_F(ResultsDirTest, ReserveBeforeInitializeFails) {
    JobResultsDir dir;
    EXPECT_TRUE(dir.reserve(10));
    EXPECT_NE(settings.journalText().find("reserve: 10 bytes, not initialized"), std::string::npos);
}

TEST_F(ResultsDirTest, FileNamesOfEachKind) {
    struct Case {
        uint32_t kind;
        bool fails;
        const char* file;
        const char* map;
    } cases[] = {
        {kResultsBackup, false, "backup.out", "1.map"},
        {kResultsRestore, false, "restore.out", "2.map"},
        {kResultsScrapeText, false, "scrapetext.out", "4.map"},
        {kResultsSuccessStubCollect, false, "SuccessStubCollect.krf", "21.map"},
        {kResultsNone, false, nullptr, nullptr},
        {kPagingBackup, true, nullptr, nullptr},
        {99, true, nullptr, nullptr},
    };
    StoreResults store(kTalCell, kJobId, true, "client1");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        EXPECT_EQ(store.computeFileNames(static_cast<ResultsFile>(c.kind)), c.fails);
        if (c.file == nullptr) {
            EXPECT_EQ(store.getFile(), nullptr);
        } else {
            EXPECT_EQ(std::string(store.getFile()), jobFile(c.file));
        }
    }
    EXPECT_STREQ(pagingFileExtension(kRestoreSkipped), ".sk_rst");
    EXPECT_EQ(pagingFileExtension(kPagingKind7), nullptr);
    EXPECT_EQ(resultsFileName(kPagingCdr), nullptr);
}

}  // namespace
