#include <optional>

#include "Indexing/indexcachedir/PageCacheDir.h"
#include "Indexing/indexcachedir/SAverageTime.h"
#include "tests/indexcachedir/CacheDirFixture.h"
#include "tests/support/EventCapture.h"

namespace {
constexpr unsigned long kStamp = 1700000000;
using SideFiles = CacheDirFixture;
using Lines = std::vector<std::string>;
}  // namespace

TEST(SpecialFileNames, ArchiveSkipsAndSnapshotMetadataOfAJob) {
    struct Skip {
        const char* name;
        bool keepJobMarkers, skipped;
    } skips[] = {{"JOBID", true, false},    {"JOBID", false, true}, {"Current_Chunk2", true, true},
                 {"x.trn.tmp", true, true}, {"X.TRN", true, false}, {"index.dat", false, false},
                 {"JobId.tmp.host.12.0123abcd", true, true}, {"JobId.tmp.12", true, true}};
    for (const Skip& row : skips) EXPECT_EQ(skipInArchiveIndex(row.name, row.keepJobMarkers), row.skipped) << row.name;
    struct Snap {
        const char* name;
        int64_t jobId;
        bool accepted;
    } snaps[] = {{"7_a.map", 7, true},   {"17_a.map", 7, false},       {"77_a.map", 7, false},
                 {"a.map", 0, true},     {"a.map.bak", 0, false},      {"a.map.map", 0, false},
                 {"7_a.krf", 7, false},  {"7_CompWriterList.krf", 7, true}, {nullptr, 0, false}};
    for (const Snap& row : snaps)
        EXPECT_EQ(JobResultsCacheDir::IsSnapMetaFile(row.name, row.jobId), row.accepted)
            << (row.name != nullptr ? row.name : "NULL") << " for job " << row.jobId;
}

TEST_F(SideFiles, CollectsSnapshotMetadataAndDumpsAndComposesTheirDirectories) {
    const std::string dir = dirPath(kStamp);
    std::filesystem::create_directories(dir);
    for (const char* name : {"7_a.xml", "77_c.map", "7_e.txt", "backup__INST_DB1.DMP", "BACKUP__INST_db2.dmp"})
        writeFileText(dir + "/" + name, "x");
    TestDir cache(kStamp);
    Lines out{"kept"};
    EXPECT_TRUE(cache.GetSnapMetaFiles(out, 7));
    EXPECT_EQ(out, Lines({"kept", dir + "/7_a.xml"}));
    // The instance is "HOST\INSTANCE": a slash is part of its name, not a separator.
    for (const char* instance : {"HOST\\INST", "INST", "HOST/INST"}) {
        Lines dumps;
        EXPECT_TRUE(cache.GetSQLDumpFiles(dumps, "db1", instance));
        EXPECT_EQ(dumps, instance[4] == '/' ? Lines{} : Lines{dir + "/backup__INST_DB1.DMP"}) << instance;
    }
    TestDir missing(kStamp + 1);
    EXPECT_FALSE(missing.GetSnapMetaFiles(out, 7));

    const std::string root = settings.dir().file("idx/KR_Index");
    EXPECT_EQ(cache.defaultCopyDir(false), root + "/checkpoints/7");
    JobResultsCacheDir noApp(1, 2, 0, 42, static_cast<BackupType>(1), 0, TCacheIndex);
    noApp.initialize("client1");
    EXPECT_EQ(noApp.defaultCopyDir(true), root + "/checkpoints");
    EXPECT_EQ(noApp.defaultCopyDir(false), "");
    PageCacheDir page(static_cast<PageCacheDirDomain>(3), 5);
    page.initialize("client1");
    EXPECT_EQ(page.getPageCacheDir(), settings.dir().file("idx/KR_PageCache/3/5/4294967295"));
}

TEST_F(SideFiles, ClosingForTheHostTouchesOnlyAReaderOrItsOwnWrite) {
    setPlatformSleepHook([](unsigned long, const char*, int) {});  // lock waits end at once
    enum Holder { Nobody, OwnReader, OwnWriter, OtherReader, OtherWriter };
    struct Row {
        const char* what;
        std::optional<int> left;  // the state left on disk; none: a directory without State
        Holder holder;
        ReOpenIndexResult result;
        const char* stateAfter;  // its first byte, or "none": no State file
    } rows[] = {
        {"a directory a remover has emptied", std::nullopt, Nobody, eReOpenIndexNotDone, "none"},
        {"left by a dead reader", JobResultsCacheDir::Reading, Nobody, eReOpenIndexOk, "0"},
        {"suspended", JobResultsCacheDir::Suspended, Nobody, eReOpenIndexNotDone, "1"},
        {"left by a dead writer", JobResultsCacheDir::Writing, Nobody, eReOpenIndexNotDone, "3"},
        {"opened for reading here", JobResultsCacheDir::Complete, OwnReader, eReOpenIndexOk, "0"},
        {"written here", std::nullopt, OwnWriter, eReOpenIndexOk, "0"},
        {"read by another process", JobResultsCacheDir::Reading, OtherReader, eReOpenIndexNotDone, "2"},
        {"written by another process", JobResultsCacheDir::Writing, OtherWriter, eReOpenIndexNotDone, "3"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::filesystem::remove_all(appDir());
        std::filesystem::create_directories(dirPath(kStamp));
        if (row.left) leave(kStamp, *row.left);
        auto other = row.holder == OtherReader   ? heldBy("read", kStamp)
                     : row.holder == OtherWriter ? heldBy("write", kStamp)
                                                 : nullptr;
        TestDir dir(row.holder == OwnReader || row.holder == OwnWriter ? 0 : kStamp);
        if (row.holder == OwnReader) {
            ASSERT_NE(dir.open(kStamp, true), nullptr);
        }
        if (row.holder == OwnWriter) {
            std::filesystem::remove_all(dirPath(kStamp));
            ASSERT_NE(dir.create(kStamp), nullptr);
        }
        EXPECT_EQ(dir.PutIndexCacheIntoClosedStateMA(), row.result);
        const std::string state = dirPath(kStamp) + "/State";
        EXPECT_EQ(fileExists(state) ? readFileText(state).substr(0, 1) : "none", row.stateAfter);
    }
}

TEST(TimingCounters, ReportTheirSamplesOncePerPeriodOrWhenForced) {
    SettingsFixture settings("[~MediaAgent]\nnTRANLOGCATALOGSERVERPERFPERIOD=30\n");
    struct Counter : SAverageTimeNotThreadSafe {
        using SAverageTimeNotThreadSafe::SAverageTimeNotThreadSafe;
        void reportedSecondsAgo(uint32_t seconds) { lastReport_ = JobResultsCacheFs::getCurrentTime() - seconds; }
    } counter("Disk", 0, true, 5, 1);
    TDebuggable logger;
    logger.setDebugPrefix("PERF");
    EventCapture capture;
    const std::string head = "PERF: ID = Disk: Job Id = ";
    struct Row {
        double samples;  // each of 0.5 and 1.5 when 2, else one sample of that many seconds
        uint64_t bytes;
        uint32_t secondsAgo;  // since the last report; the period of 30 is raised to 60
        bool force;
        int64_t jobId;
        std::string line;  // empty: nothing written
    } rows[] = {
        {0, 0, 0, true, 0, ""},
        {2, 0, 0, true, 0,
         "5,Samples = 2,Time = 2.000000 Sec(s),MaxTime = 1.500000 Sec(s),Average = 1.000000 Sec/Sample"},
        {2, 4 << 20, 0, true, 9,
         "9,Samples = 2,Time = 2.000000 Sec(s),MaxTime = 1.500000 Sec(s),Average = 1.000000 Sec/Sample, Average "
         "Speed=2.000000 MB/Sec"},
        {1, 0, 59, false, 0, ""},
        {1, 0, 60, false, 0,
         "5,Samples = 1,Time = 1.000000 Sec(s),MaxTime = 1.000000 Sec(s),Average = 1.000000 Sec/Sample"},
    };
    for (const Row& row : rows) {
        counter.Reset();
        if (row.samples == 2) counter.AddSample(0.5);
        if (row.samples != 0) counter.AddSample(row.samples == 2 ? 1.5 : row.samples);
        counter.AddBytes(row.bytes);
        counter.reportedSecondsAgo(row.secondsAgo);
        capture.clear();
        counter.Report(&logger, row.force, row.jobId);
        EXPECT_EQ(capture.debugMessages(), row.line.empty() ? Lines{} : Lines{head + row.line});
    }
    EXPECT_EQ(counter.Samples() + counter.Bytes(), 0u) << "reset after its report";

    capture.clear();
    catSrvRequestTime().AddSample(2.0);
    catSrvAppenderTime().AddSample(4.0);
    reportCatSrvTimes(&logger);
    reportCatSrvTimes(&logger);
    EXPECT_EQ(capture.debugMessages().size(), 2u) << "both, forced, each reset by its report";
}
