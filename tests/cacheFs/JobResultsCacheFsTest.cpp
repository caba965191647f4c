#include <gtest/gtest.h>
#include <sys/stat.h>

#include "Indexing/cacheFs/JobResultsCacheFs.h"
#include "Platform/EvDebug.h"
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
    void makeDirs(std::initializer_list<const char*> names) const {
        for (const char* name : names) ASSERT_EQ(mkdir(path(name).c_str(), 0755), 0);
    }

    SettingsFixture settings;
};
}  // namespace

TEST_F(CacheFs, NewLayoutWithOrWithoutTrailingSeparator) {
    makeDirs({"idx"});
    for (const std::string& base : {path("idx"), path("idx") + "/"}) {
        configure(base);
        JobResultsCacheFs cache(1, TCacheIndex);
        cache.initialize(nullptr);
        ASSERT_TRUE(cache.isInitialized()) << base;
        EXPECT_STREQ(cache.getCacheFs(), path("idx/KR_Index").c_str());
        EXPECT_EQ(cache.getReserveFilePath(), path("idx/KR_Index/reserveFile"));
        EXPECT_STREQ(cache.getClientName(), "client1");
        EXPECT_GT(cache.getTotalBlocks(), 0u);
    }
    // The snapshot metadata shares the index's reserve file: one reserve file per volume.
    for (const auto& [appType, cacheType, dir, reserve] : {std::tuple{1, TCacheSnapMetadata, "KR_SnapMetadata", "KR_Index"},
                                                           {kAppTypeOptionalIndex, TCacheIndex, "KR_Opt1", "KR_Opt1"}}) {
        JobResultsCacheFs cache(appType, cacheType);
        cache.initialize("client1");
        ASSERT_TRUE(cache.isInitialized()) << dir;
        EXPECT_STREQ(cache.getCacheFs(), path("idx/" + std::string(dir)).c_str());
        EXPECT_EQ(cache.getReserveFilePath(), path("idx/" + std::string(reserve) + "/reserveFile"));
    }
}

TEST_F(CacheFs, OldLayoutIsKeptUntilTheTypeDirectoryExists) {
    makeDirs({"idx", "idx/2"});
    configure(path("idx"));
    for (const auto& [made, cacheFs, reserveDir] : {std::tuple{"", "idx", "idx/2"}, {"idx/KR_Index", "idx/KR_Index", "idx/KR_Index"}}) {
        if (*made != '\0') makeDirs({made});
        JobResultsCacheFs cache(1, TCacheIndex);
        cache.initialize("client1");
        ASSERT_TRUE(cache.isInitialized());
        EXPECT_STREQ(cache.getCacheFs(), path(cacheFs).c_str());
        EXPECT_EQ(cache.getReserveFilePath(), path(std::string(reserveDir) + "/reserveFile"));
    }

    // A job results base with 2 but not 2/0 counts as new.
    makeDirs({"jr", "jr/2"});
    settings.write("[Platform]\nTalClient=1\n[~Machines\\client1]\nJobResultsDirectory=" + path("jr") + "\n");
    JobResultsCacheFs results(kAppTypeJobResults, TCacheIndex);
    results.initialize("client1");
    ASSERT_TRUE(results.isInitialized());
    EXPECT_STREQ(results.getCacheFs(), path("jr/KR_JobResults").c_str());
    EXPECT_STREQ(results.jobPendingMessage(), "cannot access Job Results cache");
}

TEST_F(CacheFs, LocalPathOnlyForIndexingProgramsWhenEnabled) {
    makeDirs({"remote", "local"});
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
}

TEST_F(CacheFs, PhysicalMachineStandsInAndTheRetryInitializesLater) {
    makeDirs({"idx"});
    settings.write("[Platform]\nPhysicalMachine=box1\n");
    JobResultsCacheFs cache(1, TCacheIndex);
    cache.initialize(nullptr);
    EXPECT_EQ(cache.getInitializationFailureReason(), eNoIndexCacheBase);

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
    makeDirs({"idx"});
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

TEST_F(CacheFs, DiskFreePercentIsCheckedAndGivesTheFreeRatio) {
    JobResultsCacheFs cache(1, TCacheIndex);
    EXPECT_EQ(cache.setDiskFree(100), -1);
    EXPECT_EQ(cache.getDiskFree(), 10u);
    for (const auto& [percent, ratio] : {std::pair{0u, 0.0}, {20u, 5.0}}) {
        EXPECT_EQ(cache.setDiskFree(percent), 0);
        EXPECT_EQ(cache.getFreeRatio(), ratio);
    }
}

TEST_F(CacheFs, CatalogServerFlag) {
    settings.write("[~Machines\\client1]\nnTRANLOGCATALOGSERVERENABLED=2\n");
    EXPECT_FALSE(getCatalogServerEnabledFlag("client1")) << "only 1 enables it";
    for (bool on : {true, false}) {
        EXPECT_TRUE(setCatalogServerEnabledFlag("client2", on));
        EXPECT_EQ(getCatalogServerEnabledFlag(std::string("client2")), on);
    }
}
