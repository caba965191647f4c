// Finding paging files, the paths a reader accepts, and the age cleanup of the temporary
// directory.
#include <unistd.h>

#include "Platform/PlatformSleep.h"
#include "tests/JobResults/PagingFixture.h"
#include "tests/support/EventCapture.h"
#include "tests/support/HelperProcess.h"

namespace {

using PagingFilesTest = PagingFixture;

TEST_F(PagingFilesTest, SearchFindsTheJobsFileOfItsKindAndSequenceAndDropsAStaleMap) {
    const std::string x = "PagingFile_Job_5_3_x.bkp";
    const struct {
        std::vector<std::pair<std::string, int64_t>> entries;  // name, age; "@": a link
        ResultsFile kind; unsigned sequence;
        std::string found;  // empty: none
        bool mapRemains;
    } cases[] = {
        {{{x, 200}, {x + ".map", 100}}, kPagingBackup, 3, x, true},
        {{{x, 200}}, kPagingBackup, 0, x, false},  // sequence 0 matches any
        {{{x, 200}}, kPagingBackup, 4, "", false},
        {{{"PagingFile_Job_55_3_x.bkp", 200}}, kPagingBackup, 0, "", false},
        {{{"PagingFile_Job_5_3_x.log", 200}}, kPagingBackup, 3, "", false},
        {{{x, 200}}, kResultsBackup, 3, "", false},
        {{{x + "@", 200}}, kPagingBackup, 3, "", false},
        {{{"PagingFile_Job_5_1.s_rst.tmp9_0", 200}}, kRestoreSucceeded, 0, "", false},
        {{{x, 100}, {x + ".map", 200}}, kPagingBackup, 3, x, false},  // the map is older
        {{{x + ".map", 100}, {"PagingFile_Job_5_3_xy.bkp", 200}}, kPagingBackup, 3, "PagingFile_Job_5_3_xy.bkp", false},
        {{{"PagingFile_Job_5_3_b.bkp", 200}, {"PagingFile_Job_5_3_a.bkp", 100}}, kPagingBackup, 0,
         "PagingFile_Job_5_3_a.bkp", false},  // the newest
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entries[0].first + " " + std::to_string(c.kind) + "/" + std::to_string(c.sequence));
        std::filesystem::remove_all(tempDir());
        std::filesystem::create_directories(tempDir());
        for (const auto& [name, age] : c.entries)
            if (name.back() != '@') { writeFileText(temp(name), "line\r\n"); setModified(temp(name), kNow - age); }
            else ASSERT_EQ(symlink(settings.configPath().c_str(), temp(name.substr(0, name.size() - 1)).c_str()), 0);
        PagingProbe reader(5, c.kind, c.sequence, nullptr);
        char found[4096] = {};
        EXPECT_EQ(reader.findPagingFile(c.kind, c.sequence, found, nullptr), !c.found.empty());
        const std::string expected = c.found.empty() ? "" : temp(c.found);
        EXPECT_EQ(std::string(found) + "|" + reader.file() + "|" + reader.map(),
                  expected + "|" + expected + "|" + (c.found.empty() ? "" : expected + ".map"));
        EXPECT_EQ(fileExists(expected + ".map"), c.mapRemains);
    }
}

TEST_F(PagingFilesTest, ReaderAcceptsOnlyRegularPagingFilesOfTheTemporaryDirectory) {
    const std::string other = settings.dir().file("other");
    std::filesystem::create_directories(other);
    for (const char* name : {"PagingFile_Job_1_a.bkp", "results.bkp", "OrphanFilesList.krf"}) {
        writeFileText(temp(name), "a\r\n");
        writeFileText(other + "/" + name, "a\r\n");
    }
    ASSERT_EQ(symlink((other + "/PagingFile_Job_1_a.bkp").c_str(), temp("PagingFile_Job_1_link.bkp").c_str()), 0);
    const std::string a = temp("PagingFile_Job_1_a.bkp");
    const struct {
        std::string path; ResultsFile kind;
        std::string map;  // empty: refused
    } cases[] = {
        {a, kPagingBackup, a + ".map"},
        {tempDir() + "//PagingFile_Job_1_a.bkp", kPagingBackup, tempDir() + "//PagingFile_Job_1_a.bkp.map"},
        {temp("OrphanFilesList.krf"), kPagingKind7, temp("OrphanFilesList.krf_4.map")},
        {"PagingFile_Job_1_a.bkp", kPagingBackup, ""},
        {other + "/PagingFile_Job_1_a.bkp", kPagingBackup, ""},
        {temp("results.bkp"), kPagingBackup, ""},
        {temp("OrphanFilesList.krf"), kPagingBackup, ""},
        {temp("PagingFile_Job_1_link.bkp"), kPagingBackup, ""},
        {temp("PagingFile_Job_1_missing.bkp"), kPagingBackup, ""},
        {tempDir() + "/../paging/PagingFile_Job_1_a.bkp", kPagingBackup, ""},
        {temp(""), kPagingBackup, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        PagingProbe byPath(c.kind, c.path.c_str(), nullptr, 4);
        EXPECT_EQ(byPath.map(), c.map);
        PagingProbe later(c.kind, a.c_str(), nullptr, 4);
        EXPECT_EQ(later.setFile(c.path.c_str(), nullptr), !c.map.empty());
        EXPECT_EQ(later.file(), c.map.empty() ? "" : c.path);
    }
}

TEST_F(PagingFilesTest, AgeCleanupDeletesPagingFilesOlderThanADay) {
    const struct {
        const char* name; int64_t age; bool kept;
    } entries[] = {{"PagingFile_Job_1_a.bkp", 86401, false}, {"PagingFile_1.map", 200000, false}, {"PagingFile_Job_1_b.bkp", 86400, true},
                   {"Other_Job_1_d.bkp", 200000, true}, {"PagingFile_dir", 200000, true}};
    std::filesystem::create_directory(temp("PagingFile_dir"));
    for (const auto& e : entries) {
        if (!fileExists(temp(e.name))) writeFileText(temp(e.name), "x\r\n");
        setModified(temp(e.name), kNow - e.age);
    }
    PagingResultsDir dir(nullptr);
    for (const auto& e : entries) EXPECT_EQ(fileExists(temp(e.name)), e.kept) << e.name;
}

// A lock another process holds is waited for a bounded time: the search fails, the cleanup is
// left to the next directory object.
TEST_F(PagingFilesTest, LocksHeldElsewhereAreWaitedForABoundedTime) {
    const std::string old = temp("PagingFile_Job_5_3_x.bkp");
    writeFileText(old, "x\r\n");
    setModified(old, kNow - 100000);
    setPlatformSleepHook([](unsigned long, const char*, int) {});
    for (const char* lock : {PagingResultsDir::kSearchLock, PagingResultsDir::kCleanupLock}) {
        HelperProcess holder({"mdlock_hold", lock}, "ready");
        EventCapture capture;
        PagingProbe reader(5, kPagingBackup, 3, nullptr);
        EXPECT_EQ(capture.debugLinesWith(std::string(lock) + " not granted within 60000 ms"), 1u) << lock;
        EXPECT_TRUE(fileExists(old));
        holder.writeLine("go");
        EXPECT_EQ(holder.wait(), 0);
    }
    setPlatformSleepHook({});
}

}  // namespace
