#include <gtest/gtest.h>
#include <sys/stat.h>

#include "Indexing/cacheFs/JobResultsCacheFs.h"
#include "Platform/EvDebug.h"
#include "tests/support/EventCapture.h"
#include "tests/support/SettingsFixture.h"

namespace {
class CacheFs : public ::testing::Test {
protected:
    void SetUp() override { JobResultsCacheFs::resetLoginToken(); }
    void TearDown() override { EvDebug::setApplicationName(""); }

    // An instance whose media agent keeps the index cache of every client under base.
    void configure(const std::string& base, const std::string& extra = "") {
        settings.write("[Focus]\nClientName=client1\n[Platform]\nMediaAgent=1\n[MediaAgent]\nIndexCacheDirectory=" +
                       base + "\n" + extra);
    }
    std::string path(const std::string& name) const { return settings.dir().file(name); }
    void makeDir(const std::string& name) const { ASSERT_EQ(mkdir(path(name).c_str(), 0755), 0); }

    SettingsFixture settings;
};
}  // namespace

TEST_F(CacheFs, NewLayoutWithOrWithoutTrailingSeparator) {
    makeDir("idx");
    for (const std::string& base : {path("idx"), path("idx") + "/"}) {
        configure(base);
        JobResultsCacheFs cache(1, TCacheIndex);
        cache.initialize(nullptr);
        ASSERT_TRUE(cache.isInitialized()) << base;
        EXPECT_STREQ(cache.getCacheFs(), path("idx/KR_Index").c_str());
        EXPECT_EQ(cache.getReserveFilePath(), path("idx/KR_Index/reserveFile"));
        EXPECT_STREQ(cache.getClientName(), "client1");
        EXPECT_EQ(cache.getBlockSize(), 1024u);
        EXPECT_EQ(cache.getCleanupPad(), 976u);
        EXPECT_GT(cache.getTotalBlocks(), 0u);
    }
    JobResultsCacheFs snap(1, TCacheSnapMetadata);
    snap.initialize("client1");
    ASSERT_TRUE(snap.isInitialized());
    EXPECT_STREQ(snap.getCacheFs(), path("idx/KR_SnapMetadata").c_str());
    EXPECT_EQ(snap.getReserveFilePath(), path("idx/KR_Index/reserveFile")) << "one reserve file per volume";
    JobResultsCacheFs optional(kAppTypeOptionalIndex, TCacheIndex);
    optional.initialize("client1");
    EXPECT_STREQ(optional.getCacheFs(), path("idx/KR_Opt1").c_str());
    EXPECT_EQ(optional.getReserveFilePath(), path("idx/KR_Opt1/reserveFile"));
}

TEST_F(CacheFs, OldLayoutIsKeptUntilTheTypeDirectoryExists) {
    makeDir("idx");
    makeDir("idx/2");
    configure(path("idx"));
    {
        JobResultsCacheFs cache(1, TCacheIndex);
        cache.initialize("client1");
        ASSERT_TRUE(cache.isInitialized());
        EXPECT_STREQ(cache.getCacheFs(), path("idx").c_str());
        EXPECT_EQ(cache.getReserveFilePath(), path("idx/2/reserveFile"));
    }
    makeDir("idx/KR_Index");
    JobResultsCacheFs cache(1, TCacheIndex);
    cache.initialize("client1");
    EXPECT_STREQ(cache.getCacheFs(), path("idx/KR_Index").c_str());
    EXPECT_EQ(cache.getReserveFilePath(), path("idx/KR_Index/reserveFile"));

    // A job results base with 2 but not 2/0 counts as new.
    makeDir("jr");
    makeDir("jr/2");
    settings.write("[Platform]\nTalClient=1\n[~Machines\\client1]\nJobResultsDirectory=" + path("jr") + "\n");
    JobResultsCacheFs results(kAppTypeJobResults, TCacheIndex);
    results.initialize("client1");
    ASSERT_TRUE(results.isInitialized());
    EXPECT_STREQ(results.getCacheFs(), path("jr/KR_JobResults").c_str());
    EXPECT_STREQ(results.jobPendingMessage(), "cannot access Job Results cache");
}

TEST_F(CacheFs, LocalPathOnlyForIndexingProgramsWhenEnabled) {
    makeDir("remote");
    makeDir("local");
    const std::string localEntries = "[~Machines\\client1]\nsLOCALINDEXCACHEPATH=" + path("local") + "\n";
    struct Case {
        const char* program;
        std::string flags;
        bool local;
    } cases[] = {
        {"CreateIndex", "bLOCALINDEXCACHEISUNC=1\nbLOCALINDEXCACHEDISABLED=0\n", true},
        {"updateindex", "bLOCALINDEXCACHEISUNC=1\n", true},
        {"CreateIndex", "bLOCALINDEXCACHEISUNC=0\n", false},
        {"CreateIndex", "bLOCALINDEXCACHEISUNC=1\nbLOCALINDEXCACHEDISABLED=1\n", false},
        {"browse", "bLOCALINDEXCACHEISUNC=1\n", false},
    };
    for (const Case& c : cases) {
        configure(path("remote"), localEntries + c.flags);
        EvDebug::setApplicationName(c.program);
        JobResultsCacheFs cache(1, TCacheIndex);
        cache.initialize("client1");
        ASSERT_TRUE(cache.isInitialized());
        EXPECT_STREQ(cache.getCacheFs(), path(c.local ? "local/KR_Index" : "remote/KR_Index").c_str())
            << c.program << " " << c.flags;
        EXPECT_EQ(cache.getRemoteCacheFs(), c.local ? path("remote") : "");
    }
}

TEST_F(CacheFs, FailureReasonsAndPendingMessages) {
    EventCapture capture;
    settings.write("[Focus]\nClientName=client1\n");
    JobResultsCacheFs noBase(1, TCacheContentIndex);
    EXPECT_STREQ(noBase.jobPendingMessage(), "cannot access content index cache");
    noBase.initialize(nullptr);
    EXPECT_FALSE(noBase.isInitialized());
    EXPECT_EQ(noBase.getInitializationFailureReason(), eNoIndexCacheBase);
    EXPECT_STREQ(noBase.jobPendingMessage(), "cannot determine index cache base");
    EXPECT_EQ(noBase.getNumericJobPendingMessage(), 0xE000076u);
    EXPECT_EQ(noBase.getCacheFs(), nullptr);

    // A base under a regular file can neither be created nor measured.
    writeFileText(path("file"), "");
    configure(path("file/base"));
    JobResultsCacheFs unmeasurable(1, TCacheIndex);
    unmeasurable.initialize("client1");
    EXPECT_EQ(unmeasurable.getInitializationFailureReason(), eFreeSpaceFailed);
    EXPECT_EQ(std::string(unmeasurable.jobPendingMessage()),
              "check if index cache directory " + path("file/base") + " is present and accessible on the MediaAgent");

    settings.write("[Platform]\n");
    JobResultsCacheFs results(kAppTypeJobResults, TCacheIndex);
    results.initialize("client1");
    EXPECT_EQ(results.getInitializationFailureReason(), eNoJobResultsDirectory);
    EXPECT_STREQ(results.jobPendingMessage(), "cannot determine Job Results cache base. Not a TalClient platform");

    bool logged = false;
    for (const std::string& m : capture.debugMessages())
        logged |= m == "JOBRESFS: initialize: no index cache, errno=" + m.substr(m.rfind('=') + 1);
    EXPECT_TRUE(logged);
}

TEST_F(CacheFs, PhysicalMachineStandsInAndTheRetryInitializesLater) {
    makeDir("idx");
    settings.write("[Platform]\nPhysicalMachine=box1\n");
    JobResultsCacheFs cache(1, TCacheIndex);
    cache.initialize(nullptr);
    EXPECT_EQ(cache.getInitializationFailureReason(), eNoIndexCacheBase);

    configure(path("idx"));
    settings.write("[Platform]\nPhysicalMachine=box1\n[MediaAgent]\nIndexCacheDirectory=" + path("idx") + "\n");
    JobResultsCacheFs later(1, TCacheIndex);
    later.initialize(nullptr);
    EXPECT_TRUE(later.isInitialized()) << "the physical machine name stands in for the client";
    EXPECT_STREQ(later.getClientName(), "box1");

    // Failed before any reason was recorded: isInitialized tries once more.
    JobResultsCacheFs untouched(1, TCacheIndex);
    EXPECT_TRUE(untouched.isInitialized());
}

TEST_F(CacheFs, IndexingUserLogon) {
    makeDir("idx");
    configure(path("idx"), "IndexingUser=indexer\nIndexingPassword=secret\n");
    {
        JobResultsCacheFs cache(1, TCacheIndex);
        cache.initialize("client1");
        EXPECT_TRUE(cache.isInitialized());
        EXPECT_TRUE(JobResultsCacheFs::impersonatedUser());
    }
    EXPECT_TRUE(JobResultsCacheFs::impersonatedUser()) << "the logon outlives the objects";
    JobResultsCacheFs::resetLoginToken();
    EXPECT_FALSE(JobResultsCacheFs::impersonatedUser());

    configure(path("idx"), "IndexingUser=indexer\nIndexingPassword=secret\n[Logon]\nRefusedUsers=indexer\n");
    JobResultsCacheFs refused(1, TCacheIndex);
    refused.initialize("client1");
    EXPECT_FALSE(refused.isInitialized());
    EXPECT_STREQ(refused.jobPendingMessage(), "cannot access index cache - user impersonation failed");
    EXPECT_EQ(refused.getNumericJobPendingMessage(), 0x4800002Fu);
}

TEST_F(CacheFs, SettingsOfAgingAndSpace) {
    JobResultsCacheFs cache(1, TCacheIndex);
    EXPECT_EQ(cache.getDiskFree(), 10u);
    EXPECT_EQ(cache.getNumDays(), 15u);
    EXPECT_EQ(cache.setDiskFree(100), -1);
    EXPECT_EQ(cache.getDiskFree(), 10u);
    EXPECT_EQ(cache.setDiskFree(0), 0);
    EXPECT_EQ(cache.getFreeRatio(), 0.0);
    EXPECT_EQ(cache.setDiskFree(20), 0);
    EXPECT_EQ(cache.getFreeRatio(), 5.0);
    cache.setCutoffTime(1700000000);
    EXPECT_EQ(cache.getNumDays(), 0u);
    EXPECT_EQ(cache.getCutoffTime(), 1700000000u);
    cache.setNumDays(3);
    EXPECT_EQ(cache.getCutoffTime(), 0u);
    EXPECT_EQ(cache.getNumDays(), 3u);
}

TEST_F(CacheFs, CatalogServerFlag) {
    settings.write("[~Machines\\client1]\nnTRANLOGCATALOGSERVERENABLED=2\n");
    EXPECT_FALSE(getCatalogServerEnabledFlag("client1"));
    EXPECT_FALSE(getCatalogServerEnabledFlag("client2"));
    EXPECT_TRUE(setCatalogServerEnabledFlag("client2", true));
    EXPECT_TRUE(getCatalogServerEnabledFlag(std::string("client2")));
    EXPECT_TRUE(setCatalogServerEnabledFlag("client2", false));
    EXPECT_FALSE(getCatalogServerEnabledFlag("client2"));
}
