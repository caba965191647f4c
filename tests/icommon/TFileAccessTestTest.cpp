#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "Indexing/icommon/TDebuggable.h"
#include "Indexing/icommon/TFileAccessTest.h"
#include "tests/support/EventCapture.h"
#include "tests/support/SettingsFixture.h"

namespace {
struct TFileAccessTestTest : ::testing::Test {
    SettingsFixture settings;
    const TempDir& dir = settings.dir();
};

// Splits a log at the listing of folder: the text before it, the sorted entry lines (readdir
// order is not fixed) and the text after it.
std::tuple<std::string, std::vector<std::string>, std::string> split(const std::string& log, const std::string& folder) {
    const std::string start = "Content of '" + folder + "'. Start list:\n", end = "Content of '" + folder + "'. End list.\n";
    const size_t from = log.find(start), to = log.find(end);
    if (from == std::string::npos || to == std::string::npos) return {log, {}, ""};
    std::vector<std::string> names;
    for (size_t p = from + start.size(), eol; p < to; p = eol + 1) names.push_back(log.substr(p, (eol = log.find('\n', p)) - p));
    std::sort(names.begin(), names.end());
    return {log.substr(0, from), names, log.substr(to + end.size())};
}
}  // namespace

TEST_F(TFileAccessTestTest, ExistingFileTwoRunsInOneLog) {
    const std::string file = dir.file("scratch");
    writeFileText(file, "old");
    TFileAccessTest test(file);
    EXPECT_TRUE(test.run(1, false) && fileExists(file)) << "Exists alone touches nothing";
    EXPECT_TRUE(test.run(31, false));
    EXPECT_TRUE(test.getLog().ends_with("File test(s) passed\n\nRun #2. Test set: Exists Read DirContent Write Create \n"
                                        "Test_Exists succeeded. Test_Createable succeeded. Test_Readable succeeded. "
                                        "Test_Writeable succeeded. File test(s) passed\n"))
        << "DirContent lists folders only: " << test.getLog();
    EXPECT_FALSE(fileExists(file)) << "the scratch file is deleted";
}

TEST_F(TFileAccessTestTest, RecursiveWalkListsTheFolderAboveAMissingOne) {
    const std::string a = dir.file("a");
    ASSERT_EQ(mkdir(a.c_str(), 0755), 0);
    TFileAccessTest test(a + "/b/c");
    EXPECT_FALSE(test.run(1, true));
    // Above a, the folders up to the root (/tmp/vornica-test-X, /tmp, /) are only checked.
    EXPECT_EQ(split(test.getLog(), a),
              std::make_tuple("\nRun #1 (recursive). Test set: Exists \nTest_Exists failed for '" + a +
                                  "/b'\nTest_Exists succeeded. ",
                              std::vector<std::string>{"        '.'", "        '..'"},
                              "Test_DirContent succeeded. Test_Exists succeeded. Test_Exists succeeded. "
                              "Test_Exists succeeded. Test_Exists failed for '" + a + "/b/c'\n"));

    writeFileText(a + "/f", "x");
    TFileAccessTest present(a + "/f");
    EXPECT_TRUE(present.run(1, true));
    EXPECT_TRUE(present.getLog().ends_with("Test_Exists succeeded. Folder test passed\nTest_Exists succeeded. File test(s) passed\n"));
}

TEST_F(TFileAccessTestTest, RunSingleTestLeavesNoFileBehind) {
    EventCapture capture;
    const std::string file = dir.file("scratch");
    writeFileText(file, "old");
    TDebuggable log;
    log.setDebugPrefix("FAT");
    EXPECT_TRUE(TFileAccessTest_runSingleTest(file, &log));
    EXPECT_FALSE(fileExists(file));
    EXPECT_FALSE(TFileAccessTest_runSingleTest(dir.file("no/such"), &log));
    // The run's log (whose text the tests above pin) goes out in one line, after what it tells.
    const std::vector<std::string> lines = capture.debugMessages();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("FAT: All tests are passed. log=\nRun #1. Test set: Exists Read Write Create \n", 0), 0u);
    EXPECT_EQ(lines[1].rfind("FAT: File access test failed:\n\nRun #1. Test set: Exists Read Write Create \nTest_Exists failed for '" +
                             dir.file("no/such") + "'\nTest_Createable failed for '",
                             0),
              0u)
        << "the other tests still run: " << lines[1];
}
