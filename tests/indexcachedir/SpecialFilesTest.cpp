#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>

#include "Indexing/indexcachedir/PageCacheDir.h"
#include "Indexing/indexcachedir/SAverageTime.h"
#include "Platform/PlatformSleep.h"
#include "tests/indexcachedir/CacheDirFixture.h"
#include "tests/support/EventCapture.h"
#include "tests/support/HelperProcess.h"

namespace {
constexpr unsigned long kStamp = 1700000000;
using SpecialFiles = CacheDirFixture;
using Paths = std::vector<std::string>;

Paths sorted(Paths paths) {
    std::sort(paths.begin(), paths.end());
    return paths;
}
}  // namespace

TEST(SpecialFileNames, ArchiveSkipsMarkersRestartFilesAndTheirParts) {
    struct Row {
        const char* name;
        bool keepJobMarkers;
        bool skipped;
    } rows[] = {
        {".", true, true},           {"..", true, true},           {"JOBID", true, false},
        {"JOBID", false, true},      {"canstillresume", false, true}, {"canStillResume", true, false},
        {"JobId.old", false, false}, {"INODESTORE.1", true, true},  {"current_chunk_2", true, true},
        {"TL_RST.CFG", true, true},  {"x.trn.tmp", true, true},     {"X.TRN", true, false},
        {"a.txt.collects", true, true}, {"a.start.b", true, true}, {"a.START.b", true, false},
        {"index.dat", false, false},
    };
    for (const Row& row : rows)
        EXPECT_EQ(skipInArchiveIndex(row.name, row.keepJobMarkers), row.skipped)
            << row.name << (row.keepJobMarkers ? " keeping" : " dropping") << " job markers";
}

TEST(SpecialFileNames, SnapshotMetadataBelongsToTheWholeJobIdItBeginsWith) {
    struct Row {
        const char* name;
        int64_t jobId;
        bool accepted;
    } rows[] = {
        {"7_a.map", 7, true},
        {"17_a.map", 7, false},
        {"77_a.map", 7, false},  // job 77's file, not job 7's
        {"7.xml", 7, true},
        {"70_a.bcd", 70, true},
        {"a.map", 0, true},
        {"a.map.bak", 0, false},
        {"a.map.map", 0, false},  // the first ".map" must be the ending
        {"7_a.MAP", 7, false},
        {"map", 0, false},
        {"7_a.krf", 7, false},
        {"7_CompWriterList.krf", 7, true},
        {"SidProfileMap.krf", 0, true},
        {"x_CISIndex.krf", -1, true},
        {nullptr, 0, false},
    };
    for (const Row& row : rows)
        EXPECT_EQ(JobResultsCacheDir::IsSnapMetaFile(row.name, row.jobId), row.accepted)
            << (row.name != nullptr ? row.name : "NULL") << " for job " << row.jobId;
}

TEST_F(SpecialFiles, CollectsSnapshotMetadataAndDumpsOfTheDirectory) {
    const std::string dir = dirPath(kStamp);
    std::filesystem::create_directories(dir);
    for (const char* name : {"7_a.xml", "7_b.map", "77_c.map", "8_d.map", "7_e.txt", "backup__INST_DB1.DMP",
                             "BACKUP__HOST\\INST_db1.dmp", "BACKUP__INST_db2.dmp"})
        writeFileText(dir + "/" + name, "x");
    TestDir cache(kStamp);
    Paths out{"kept"};
    EXPECT_TRUE(cache.GetSnapMetaFiles(out, 7));
    EXPECT_EQ(sorted(out), sorted({"kept", dir + "/7_a.xml", dir + "/7_b.map"})) << "appended to what is there";

    struct Row {
        const char* instance;
        Paths found;
    } rows[] = {
        {"HOST\\INST", {dir + "/backup__INST_DB1.DMP"}},
        {"INST", {dir + "/backup__INST_DB1.DMP"}},
        {"A\\B\\INST", {dir + "/backup__INST_DB1.DMP"}},
        {"HOST/INST", {}},  // a slash is part of the instance name, not a separator
    };
    for (const Row& row : rows) {
        Paths dumps;
        EXPECT_TRUE(cache.GetSQLDumpFiles(dumps, "db1", row.instance));
        EXPECT_EQ(dumps, row.found) << row.instance;
    }

    TestDir unset(0);
    EXPECT_FALSE(unset.GetSnapMetaFiles(out, 7)) << "no directory path";
    EXPECT_FALSE(unset.GetSQLDumpFiles(out, "db1", "INST"));
    TestDir missing(kStamp + 1);
    EXPECT_FALSE(missing.GetSnapMetaFiles(out, 7)) << "a directory that cannot be opened";
}

TEST_F(SpecialFiles, CheckpointCopiesLiveBelowTheRoot) {
    const std::string root = settings.dir().file("idx/KR_Index");
    struct Row {
        unsigned long app;
        bool baseOnly;
        std::string expected;
    } rows[] = {{7, false, root + "/checkpoints/7"}, {7, true, root + "/checkpoints"}, {0, true, root + "/checkpoints"},
                {0, false, ""}};
    for (const Row& row : rows) {
        JobResultsCacheDir dir(1, 2, row.app, 42, static_cast<BackupType>(1), 0, TCacheIndex);
        dir.initialize("client1");
        EXPECT_EQ(dir.defaultCopyDir(row.baseOnly), row.expected) << row.app << " " << row.baseOnly;
    }

    PageCacheDir page(static_cast<PageCacheDirDomain>(3), 5);
    page.initialize("client1");
    EXPECT_EQ(page.getPageCacheDir(), settings.dir().file("idx/KR_PageCache/3/5/4294967295"));
}

TEST_F(SpecialFiles, ClosingForTheHostTouchesOnlyAReaderOrItsOwnWrite) {
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
        {"complete", JobResultsCacheDir::Complete, Nobody, eReOpenIndexOk, "0"},
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
        std::optional<HelperProcess> other;
        if (row.holder == OtherReader || row.holder == OtherWriter) {
            other.emplace(std::vector<std::string>{"cachedir_lock", "2", "7", std::to_string(kStamp),
                                                   row.holder == OtherReader ? "read" : "write"});
            ASSERT_TRUE(other->waitForLine("ready"));
        }
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
        if (other) {
            other->writeLine("done");
            EXPECT_EQ(other->wait(), 0);
        }
    }
}

TEST(TimingCounters, ReportTheirSamplesOncePerPeriodOrWhenForced) {
    SettingsFixture settings("[~MediaAgent]\nnTRANLOGCATALOGSERVERPERFPERIOD=30\n");
    struct Counter : SAverageTimeNotThreadSafe {
        using SAverageTimeNotThreadSafe::SAverageTimeNotThreadSafe;
        void reportedSecondsAgo(uint32_t seconds) { lastReport_ = JobResultsCacheFs::getCurrentTime() - seconds; }
    };
    TDebuggable logger;
    logger.setDebugPrefix("PERF");
    EventCapture capture;
    Counter counter("Disk", 0, true, 5, 1);
    counter.Report(&logger, true, 0);
    EXPECT_TRUE(capture.debugMessages().empty()) << "no samples, nothing to say, even when forced";

    struct Row {
        std::vector<double> samples;
        uint64_t bytes;
        uint32_t secondsAgo;  // since the last report
        bool force;
        int64_t jobId;
        const char* line;  // null: nothing written
    } rows[] = {
        {{0.5, 1.5}, 0, 0, true, 0,
         "PERF: ID = Disk: Job Id = 5,Samples = 2,Time = 2.000000 Sec(s),MaxTime = 1.500000 Sec(s),Average = "
         "1.000000 Sec/Sample"},
        {{0.5, 1.5}, 4 << 20, 0, true, 9,
         "PERF: ID = Disk: Job Id = 9,Samples = 2,Time = 2.000000 Sec(s),MaxTime = 1.500000 Sec(s),Average = "
         "1.000000 Sec/Sample, Average Speed=2.000000 MB/Sec"},
        {{0.0}, 1 << 20, 0, true, 0,
         "PERF: ID = Disk: Job Id = 5,Samples = 1,Time = 0.000000 Sec(s),MaxTime = 0.000000 Sec(s),Average = "
         "0.000000 Sec/Sample, Average Speed=0.000000 MB/Sec"},
        {{1.0}, 0, 59, false, 0, nullptr},  // a period of 30 is raised to 60
        {{1.0}, 0, 60, false, 0,
         "PERF: ID = Disk: Job Id = 5,Samples = 1,Time = 1.000000 Sec(s),MaxTime = 1.000000 Sec(s),Average = "
         "1.000000 Sec/Sample"},
    };
    for (const Row& row : rows) {
        counter.Reset();
        for (double s : row.samples) counter.AddSample(s);
        counter.AddBytes(row.bytes);
        counter.reportedSecondsAgo(row.secondsAgo);
        capture.clear();
        counter.Report(&logger, row.force, row.jobId);
        EXPECT_EQ(capture.debugMessages(), row.line != nullptr ? std::vector<std::string>{row.line}
                                                               : std::vector<std::string>{});
    }
    EXPECT_EQ(counter.Samples(), 0u) << "reset after its report";
    EXPECT_EQ(counter.Bytes(), 0u);
}

TEST(TimingCounters, TheProcessWideCountersReportTogether) {
    TDebuggable logger;
    logger.setDebugPrefix("PERF");
    EventCapture capture;
    catSrvRequestTime().AddSample(2.0);
    catSrvAppenderTime().AddSample(4.0);
    reportCatSrvTimes(&logger);
    reportCatSrvTimes(&logger);
    const std::vector<std::string> expected = {
        "PERF: ID = CatSrv Request: Job Id = 0,Samples = 1,Time = 2.000000 Sec(s),MaxTime = 2.000000 Sec(s),Average "
        "= 2.000000 Sec/Sample",
        "PERF: ID = CatSrv Appender: Job Id = 0,Samples = 1,Time = 4.000000 Sec(s),MaxTime = 4.000000 Sec(s),Average "
        "= 4.000000 Sec/Sample"};
    EXPECT_EQ(capture.debugMessages(), expected) << "each is reset by its report";
}
