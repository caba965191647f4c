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
        settings.write("[Focus]\nClientName=client1\n[Platform]\nMediaAgent=1\nTalClient=1\n[MediaAgent]\nIndexCacheDirectory=" +
                       base + "\n" + extra);
    }
    std::string path(const std::string& name) const { return settings.dir().file(name); }
    void makeDirs(std::initializer_list<const char*> names) const {
        for (const char* name : names) ASSERT_EQ(mkdir(path(name).c_str(), 0755), 0);
    }

    SettingsFixture settings;
};
}  // namespace

// The root is B/<type directory> with the reserve file of its family (the snapshot metadata
// shares the index's: one reserve file per volume); a base laid out before the type directories
// (B/2 without the type directory) stays the root until the type directory exists; a job
// results base with 2 but not 2/0 counts as new.
TEST_F(CacheFs, RootAndReserveFilePerTypeAndLayout) {
    makeDirs({"idx", "old", "old/2", "jr", "jr/2"});
    const struct {
        std::string base;
        const char* made;  // made before the object
        KRAppType appType;
        TCacheTypeEnum cacheType;
        const char *root, *reserveDir;
    } cases[] = {
        {path("idx"), "", 1, TCacheIndex, "idx/KR_Index", "idx/KR_Index"},
        {path("idx") + "/", "", 1, TCacheIndex, "idx/KR_Index", "idx/KR_Index"},
        {path("idx"), "", 1, TCacheSnapMetadata, "idx/KR_SnapMetadata", "idx/KR_Index"},
        {path("idx"), "", kAppTypeOptionalIndex, TCacheIndex, "idx/KR_Opt1", "idx/KR_Opt1"},
        {path("old"), "", 1, TCacheIndex, "old", "old/2"},
        {path("old"), "old/KR_Index", 1, TCacheIndex, "old/KR_Index", "old/KR_Index"},
        {path("jr"), "", kAppTypeJobResults, TCacheIndex, "jr/KR_JobResults", "jr/KR_JobResults"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.base + " " + c.root);
        if (*c.made != '\0') makeDirs({c.made});
        configure(c.base, "[~Machines\\client1]\nJobResultsDirectory=" + path("jr") + "\n");
        JobResultsCacheFs cache(c.appType, c.cacheType);
        cache.initialize(nullptr);
        ASSERT_TRUE(cache.isInitialized());
        EXPECT_STREQ(cache.getCacheFs(), path(c.root).c_str());
        EXPECT_EQ(cache.getReserveFilePath(), path(std::string(c.reserveDir) + "/reserveFile"));
        EXPECT_STREQ(cache.getClientName(), "client1");
        EXPECT_GT(cache.getTotalBlocks(), 0u);
    }
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
    JobResultsCacheFs contentIndex(1, TCacheContentIndex);
    EXPECT_STREQ(contentIndex.jobPendingMessage(), "cannot access content index cache") << "before initialize";
    writeFileText(path("file"), "");  // a base under a regular file can neither be created nor measured
    const struct {
        std::string ini;
        KRAppType appType;
        TCacheTypeEnum cacheType;
        EInitializationFailureReason reason;
        std::string message;
        uint32_t numeric;
    } cases[] = {
        {"[Focus]\nClientName=client1\n", 1, TCacheContentIndex, eNoIndexCacheBase, "cannot determine index cache base",
         0xE000076},
        {"[MediaAgent]\nIndexCacheDirectory=" + path("file/base") + "\n", 1, TCacheIndex, eFreeSpaceFailed,
         "check if index cache directory " + path("file/base") + " is present and accessible on the MediaAgent", 0xE000077},
        {"[Platform]\n", kAppTypeJobResults, TCacheIndex, eNoJobResultsDirectory,
         "cannot determine Job Results cache base. Not a TalClient platform", 0xE000075},
    };
    for (const auto& c : cases) {
        settings.write(c.ini);
        JobResultsCacheFs cache(c.appType, c.cacheType);
        cache.initialize("client1");
        EXPECT_FALSE(cache.isInitialized()) << c.message;
        EXPECT_EQ(cache.getCacheFs(), nullptr) << c.message;
        EXPECT_EQ(cache.getInitializationFailureReason(), c.reason) << c.message;
        EXPECT_EQ(cache.jobPendingMessage(), c.message);
        EXPECT_EQ(cache.getNumericJobPendingMessage(), c.numeric) << c.message;
    }
}

TEST_F(CacheFs, PhysicalMachineStandsInAndTheRetryInitializesLater) {
    makeDirs({"idx"});
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

TEST_F(CacheFs, CatalogServerFlag) {
    settings.write("[~Machines\\client1]\nnTRANLOGCATALOGSERVERENABLED=2\n");
    EXPECT_FALSE(getCatalogServerEnabledFlag("client1")) << "only 1 enables it";
    for (bool on : {true, false}) {
        EXPECT_TRUE(setCatalogServerEnabledFlag("client2", on));
        EXPECT_EQ(getCatalogServerEnabledFlag(std::string("client2")), on);
    }
}
