// Finding paging files, the paths a reader accepts, and the age cleanup of the temporary
// directory.
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Platform/PlatformSleep.h"
#include "tests/JobResults/PagingFixture.h"
#include "tests/support/EventCapture.h"
#include "tests/support/HelperProcess.h"

namespace {

class PagingFilesTest : public PagingFixture {
protected:
    void clearTempDir() {
        std::filesystem::remove_all(tempDir());
        std::filesystem::create_directories(tempDir());
    }
    // name -> modification time; a name ending in "@" is made a link to a file outside.
    void plant(const std::vector<std::pair<std::string, int64_t>>& entries) {
        for (const auto& [name, seconds] : entries) {
            if (name.back() == '@') {
                const std::string outside = settings.dir().file("outside.txt");
                writeFileText(outside, "secret\r\n");
                ASSERT_EQ(symlink(outside.c_str(), temp(name.substr(0, name.size() - 1)).c_str()), 0);
            } else {
                writeFileText(temp(name), "line\r\n");
                setModified(temp(name), kNow - 1000 + seconds);  // all younger than a day
            }
        }
    }
};

TEST_F(PagingFilesTest, SearchFindsTheJobsFileOfItsKindAndSequenceAndDropsAStaleMap) {
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, int64_t>> entries;
        ResultsFile kind;
        unsigned sequence;
        const char* found;  // "" when none
        bool mapRemains;
    } cases[] = {
        {"file and map", {{"PagingFile_Job_5_3_x.bkp", 100}, {"PagingFile_Job_5_3_x.bkp.map", 200}}, kPagingBackup, 3,
         "PagingFile_Job_5_3_x.bkp", true},
        {"sequence 0 matches any", {{"PagingFile_Job_5_3_x.bkp", 100}}, kPagingBackup, 0, "PagingFile_Job_5_3_x.bkp", false},
        {"another sequence", {{"PagingFile_Job_5_3_x.bkp", 100}}, kPagingBackup, 4, "", false},
        {"job 55 is not job 5", {{"PagingFile_Job_55_3_x.bkp", 100}}, kPagingBackup, 0, "", false},
        {"another kind", {{"PagingFile_Job_5_3_x.log", 100}}, kPagingBackup, 3, "", false},
        {"kind without extension", {{"PagingFile_Job_5_3_x.bkp", 100}}, kResultsBackup, 3, "", false},
        {"a link is no paging file", {{"PagingFile_Job_5_3_x.bkp@", 0}}, kPagingBackup, 3, "", false},
        {"a filter file being written", {{"PagingFile_Job_5_1.s_rst.tmp9_0", 100}}, kRestoreSucceeded, 0, "",
         false},
        {"map older than the file", {{"PagingFile_Job_5_3_x.bkp", 200}, {"PagingFile_Job_5_3_x.bkp.map", 100}},
         kPagingBackup, 3, "PagingFile_Job_5_3_x.bkp", false},
        {"the map of another file", {{"PagingFile_Job_5_3_x.bkp.map", 200}, {"PagingFile_Job_5_3_xy.bkp", 100}},
         kPagingBackup, 3, "PagingFile_Job_5_3_xy.bkp", false},
        {"the newest of two", {{"PagingFile_Job_5_3_b.bkp", 100}, {"PagingFile_Job_5_3_a.bkp", 300}}, kPagingBackup, 0,
         "PagingFile_Job_5_3_a.bkp", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        clearTempDir();
        plant(c.entries);
        PagingProbe reader(5, c.kind, c.sequence, nullptr);
        char found[4096] = {};
        EXPECT_EQ(reader.findPagingFile(c.kind, c.sequence, found, nullptr), *c.found != '\0');
        const std::string expected = *c.found != '\0' ? temp(c.found) : "";
        EXPECT_EQ(found, expected);
        EXPECT_EQ(reader.file(), expected);
        EXPECT_EQ(reader.map(), *c.found != '\0' ? expected + ".map" : "");
        if (*c.found != '\0') {
            EXPECT_EQ(fileExists(expected + ".map"), c.mapRemains);
        }
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
    struct Case {
        std::string path;
        ResultsFile kind;
        std::string map;  // empty: refused
    } cases[] = {
        {temp("PagingFile_Job_1_a.bkp"), kPagingBackup, temp("PagingFile_Job_1_a.bkp.map")},
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
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        PagingProbe byPath(c.kind, c.path.c_str(), nullptr, 4);
        EXPECT_EQ(byPath.map(), c.map);
        PagingProbe later(c.kind, temp("PagingFile_Job_1_a.bkp").c_str(), nullptr, 4);
        EXPECT_EQ(later.setFile(c.path.c_str(), nullptr), !c.map.empty());
        EXPECT_EQ(later.file(), c.map.empty() ? "" : c.path);
    }
}

TEST_F(PagingFilesTest, AgeCleanupDeletesPagingFilesOlderThanADay) {
    struct Case {
        const char* name;
        int64_t age;
        bool kept;
    } cases[] = {
        {"PagingFile_Job_1_a.bkp", 86401, false},
        {"PagingFile_Job_1_b.bkp", 86400, true},
        {"PagingFile_Job_1_c.bkp.map", 200000, false},
        {"Other_Job_1_d.bkp", 200000, true},
        {"PagingFile_dir", 200000, true},
    };
    for (const Case& c : cases) {
        if (std::string(c.name) == "PagingFile_dir")
            std::filesystem::create_directory(temp(c.name));
        else
            writeFileText(temp(c.name), "x\r\n");
        setModified(temp(c.name), kNow - c.age);
    }
    PagingResultsDir dir(nullptr);
    for (const Case& c : cases) EXPECT_EQ(fileExists(temp(c.name)), c.kept) << c.name;
}

// A lock another process holds is waited for a bounded time only: the search fails, the
// cleanup is left to the next directory object.
TEST_F(PagingFilesTest, LocksHeldElsewhereAreWaitedForABoundedTime) {
    writeFileText(temp("PagingFile_Job_5_3_x.bkp"), "x\r\n");
    setModified(temp("PagingFile_Job_5_3_x.bkp"), kNow - 100000);
    setPlatformSleepHook([](unsigned long, const char*, int) {});
    for (const char* lock : {PagingResultsDir::kSearchLock, PagingResultsDir::kCleanupLock}) {
        SCOPED_TRACE(lock);
        HelperProcess holder({"mdlock_hold", lock}, "ready");
        EventCapture capture;
        PagingProbe reader(5, kPagingBackup, 3, nullptr);
        EXPECT_EQ(capture.debugLinesWith(std::string(lock) + " not granted within 60000 ms"), 1u);
        EXPECT_TRUE(fileExists(temp("PagingFile_Job_5_3_x.bkp")));
        holder.writeLine("go");
        EXPECT_EQ(holder.wait(), 0);
    }
    setPlatformSleepHook({});
}

}  // namespace
