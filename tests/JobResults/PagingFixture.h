// Settings for paging tests: a job results cache for client1 under idx/, the temporary
// directory paging/ (the product's, used without a client name), and a fixed clock for the age
// cleanup and the names of restore filter files.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>

#include <gtest/gtest.h>

#include "JobResults/JobResultsDir.h"
#include "JobResults/PagingResultsDir.h"
#include "JobResults/RetrieveResults.h"
#include "tests/support/SettingsFixture.h"

// A reader whose names a test may look at.
struct PagingProbe : RetrieveResults {
    using RetrieveResults::RetrieveResults;
    std::string file() const { return fileName_ != nullptr ? fileName_ : ""; }
    std::string map() const { return mapName_ != nullptr ? mapName_ : ""; }
};

class PagingFixture : public ::testing::Test {
protected:
    // The clock stands still at the start of the test.
    static inline int64_t kNow = 0;

    void SetUp() override {
        std::filesystem::create_directories(settings.dir().file("idx"));
        std::filesystem::create_directories(tempDir());
        settings.write(
            "[Focus]\nClientName=client1\n[Platform]\nTalClient=1\nTempDirectory=" + tempDir() +
            "\n[MediaAgent]\nsDISABLERESERVE=y\n[~Machines\\client1]\nJobResultsDirectory=" + settings.dir().file("idx") +
            "\n" + extraSettings());
        kNow = static_cast<int64_t>(time(nullptr));
        PagingResultsDir::setClockForTests([] { return kNow; });
    }
    void TearDown() override { PagingResultsDir::setClockForTests(nullptr); }
    virtual std::string extraSettings() const { return ""; }

    std::string tempDir() const { return settings.dir().file("paging"); }
    std::string temp(const std::string& name) const { return tempDir() + "/" + name; }
    // Sets the modification time of what path names itself (a link is not followed).
    static void setModified(const std::string& path, int64_t seconds) {
        timespec times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
    }
    // The job's results directory, made, with text as the results file of kind; its path.
    std::string makeJobFile(int64_t jobId, ResultsFile kind, const std::string& text) {
        JobResultsDir dir;
        EXPECT_FALSE(dir.initialize(2, jobId, true, nullptr));
        EXPECT_FALSE(dir.open(false));
        const std::string path = std::string(dir.getCacheDir()) + "/" + resultsFileName(kind);
        writeFileText(path, text);
        dir.close();
        return path;
    }

    SettingsFixture settings;
};
