#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <thread>

#include "Indexing/icommon/BatchSortByColumn.h"
#include "Indexing/icommon/SortAndReplace.h"
#include "Platform/BatchSort.h"
#include "tests/support/DeniedDirectory.h"
#include "tests/support/EventCapture.h"
#include "tests/support/SettingsFixture.h"

namespace {
std::string crlf(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

std::string lf(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

struct SortAndReplace : ::testing::Test {
    void TearDown() override { BatchSort::setLimits(0, 0); }

    // Nothing but the file itself is left in the directory.
    void expectNoLeftovers() {
        EXPECT_FALSE(fileExists(file + ".tmp"));
        EXPECT_FALSE(fileExists(file + ".top.tmp"));
        EXPECT_FALSE(fileExists(file + "_folder.tmp"));
    }
    // The debug lines that start with prefix.
    std::vector<std::string> logged(const std::string& prefix) {
        std::vector<std::string> lines;
        for (const std::string& m : capture.debugMessages())
            if (m.rfind(prefix, 0) == 0) lines.push_back(m.substr(prefix.size()));
        return lines;
    }
    int byColumn(int topN, bool ascending, short type, const char* separators = ",", unsigned column = 2) {
        return sortAndReplaceEx(file.c_str(), BatchSortListSortByColumn, topN, ascending, false, column, separators, type, 0);
    }

    SettingsFixture settings;
    const std::string file = settings.dir().file("list.txt");
    EventCapture capture;
};
}  // namespace

TEST_F(SortAndReplace, ReplacesTheFileWithItsSortedLines) {
    writeFileText(file, "pear\r\napple\nfig\napple\r\nFig");
    EXPECT_EQ(sortAndReplace(file.c_str(), false, true, false), 0);
    EXPECT_EQ(readFileText(file), "Fig\r\napple\r\napple\r\nfig\r\npear\r\n");
    expectNoLeftovers();
    EXPECT_EQ(sortAndReplaceEx(file.c_str(), BatchSortListSortUnique, 0, false, true, 0, "", 0, 0), 0);
    EXPECT_EQ(readFileText(file), "pear\r\nFig\r\napple\r\n") << "unique, descending, case folded";
    EXPECT_EQ(logged("SORTANDREPLACEEX: "), std::vector<std::string>{}) << "topN 0, criteria 0: the plain sort";

    // Larger than the sorter's memory: the runs are merged.
    BatchSort::setLimits(1, 256);
    std::mt19937 random(17);
    std::vector<std::string> lines;
    for (int i = 0; i < 12000; ++i) lines.push_back(std::to_string(random() % 100000) + "\tline " + std::to_string(i));
    writeFileText(file, lf(lines));
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(sortAndReplace(file.c_str(), false, true, false), 0);
    EXPECT_TRUE(readFileText(file) == crlf(lines));
    expectNoLeftovers();
}

TEST_F(SortAndReplace, TopNKeepsTheFirstOrTheLastLinesWhateverTheirLength) {
    struct Case {
        int lines;
        std::string ranges;  // of the last-N ring, topN 3
    };
    for (const Case& c : {Case{2, "0, to1=1, from2=-1, to2=-1"}, Case{3, "0, to1=2, from2=-1, to2=-1"},
                          Case{4, "1, to1=3, from2=-1, to2=-1"}, Case{7, "0, to1=2, from2=-1, to2=-1"},
                          Case{10, "3, to1=3, from2=0, to2=1"}}) {
        SCOPED_TRACE(c.lines);
        std::vector<std::string> sorted;
        for (int i = 0; i < c.lines; ++i)  // the third line is longer than any line buffer
            sorted.push_back("line" + std::string(1, char('a' + i)) + std::string(i == 2 ? 9000 : 0, 'x'));
        std::vector<std::string> shuffled = sorted;
        std::reverse(shuffled.begin(), shuffled.end());
        const size_t kept = std::min<size_t>(3, sorted.size());

        capture.clear();
        writeFileText(file, lf(shuffled));
        ASSERT_EQ(sortAndReplaceEx(file.c_str(), BatchSortListSortAll, 3, true, false, 0, "", 0, 0), 0);
        EXPECT_TRUE(readFileText(file) == crlf({sorted.begin(), sorted.begin() + kept}));
        EXPECT_EQ(logged("SORTANDREPLACEEX: "),
                  (std::vector<std::string>{"BatchSort instantiated", "Sorted '" + file + "' into '" + file + ".tmp'",
                                            "Descending - copy topN lines from src do dst. Output all if < topN",
                                            std::to_string(kept) + " lines were copied",
                                            "Call rmdir for '" + file + "_folder.tmp'", "Finish sorting successfuly"}));
        expectNoLeftovers();

        capture.clear();
        writeFileText(file, lf(shuffled));
        ASSERT_EQ(byColumn(3, true, 0), 0) << "ascending by column: the last lines";
        EXPECT_TRUE(readFileText(file) == crlf({sorted.end() - kept, sorted.end()}));
        std::vector<std::string> log = logged("SORTANDREPLACEEX: ");
        EXPECT_NE(std::find(log.begin(), log.end(), "From1=" + c.ranges), log.end());
        expectNoLeftovers();

        writeFileText(file, lf(shuffled));
        ASSERT_EQ(byColumn(3, false, 0), 0) << "descending by column: the first lines";
        EXPECT_TRUE(readFileText(file) == crlf({sorted.rbegin(), sorted.rbegin() + kept}));
    }
}

TEST_F(SortAndReplace, ByColumnAsDecimalHexadecimalOrQuotedText) {
    writeFileText(file, "b,10\na,9\n");
    ASSERT_EQ(byColumn(0, true, 1), 0);
    EXPECT_EQ(readFileText(file), "a,9\r\nb,10\r\n");
    ASSERT_EQ(byColumn(0, false, 1), 0);
    EXPECT_EQ(readFileText(file), "b,10\r\na,9\r\n");

    // Equal numbers fall back to the whole line; a missing or unreadable column counts as 0.
    capture.clear();
    writeFileText(file, "z,5\nc,5\nm,5\nnone\nx,12\nq,abc\n");
    ASSERT_EQ(byColumn(0, false, 1), 0);
    EXPECT_EQ(readFileText(file), "x,12\r\nc,5\r\nm,5\r\nz,5\r\nnone\r\nq,abc\r\n");
    std::vector<std::string> invalid = logged("NoPrefix: ");
    EXPECT_NE(std::find(invalid.begin(), invalid.end(), "Invalid ul1"), invalid.end());
    EXPECT_NE(std::find(invalid.begin(), invalid.end(), "Invalid ul2"), invalid.end());

    capture.clear();
    writeFileText(file, "r;ff;x\ns;1A;x\nv;zz;x\nt;0x10;x\nu;;x\n");
    ASSERT_EQ(byColumn(0, true, 2, ";"), 0);
    EXPECT_EQ(readFileText(file), "u;;x\r\nv;zz;x\r\nt;0x10;x\r\ns;1A;x\r\nr;ff;x\r\n");
    invalid = logged("NoPrefix: ");
    EXPECT_NE(std::find(invalid.begin(), invalid.end(), "Invalid ull1"), invalid.end());
    EXPECT_NE(std::find(invalid.begin(), invalid.end(), "Invalid ull2"), invalid.end());

    // A quoted column holds separators; the third column decides.
    writeFileText(file, "1,\"b,x\",c\n2,a,b\n3,\"c\\\"\",a\n4,\"a,z\",\n");
    ASSERT_EQ(byColumn(0, true, 3, ",", 2), 0);
    EXPECT_EQ(readFileText(file), "2,a,b\r\n4,\"a,z\",\r\n1,\"b,x\",c\r\n3,\"c\\\"\",a\r\n");
    ASSERT_EQ(byColumn(0, true, 3, ",", 3), 0);
    EXPECT_EQ(readFileText(file), "4,\"a,z\",\r\n3,\"c\\\"\",a\r\n2,a,b\r\n1,\"b,x\",c\r\n");
    ASSERT_EQ(byColumn(0, false, 3, ",", 2), 0);
    EXPECT_EQ(readFileText(file), "3,\"c\\\"\",a\r\n1,\"b,x\",c\r\n4,\"a,z\",\r\n2,a,b\r\n");
    ASSERT_EQ(byColumn(0, true, 9, ",", 3), 0) << "another type: the whole line";
    EXPECT_EQ(readFileText(file), "1,\"b,x\",c\r\n2,a,b\r\n3,\"c\\\"\",a\r\n4,\"a,z\",\r\n");

    BatchSortByColumn sorter(0, ",", 3, 0);
    EXPECT_EQ(sorter.getColumn(), 1u);
    EXPECT_LT(sorter.compare("a,z", "b,a"), 0);
    EXPECT_EQ(sorter.compare("a,z", "a,y"), 0) << "equal columns: neither first";
}

TEST_F(SortAndReplace, FailuresLeaveTheInputUntouched) {
    const std::string tmp = file + ".tmp", work = file + "_folder.tmp";
    const std::string names = "file '" + file + "' tmpFile '" + tmp + "' workdir '" + work + "'";
    EXPECT_EQ(sortAndReplace(file.c_str(), false, true, false), -1);
    EXPECT_EQ(logged("SORTANDREPLACE: "),
              std::vector<std::string>{"sort init failed for " + names + " with error 'cannot open input file '" + file +
                                       "': No such file or directory'"});
    expectNoLeftovers();
    EXPECT_FALSE(fileExists(file));

    const std::string input = "b\na\n" + std::string(BatchSort::kDefaultMaxLineLength + 1, 'x') + "\r\nc";
    writeFileText(file, input);
    capture.clear();
    EXPECT_EQ(sortAndReplace(file.c_str(), false, true, false), -1);
    EXPECT_EQ(logged("SORTANDREPLACE: "),
              std::vector<std::string>{"sort failed for " + names + " with error 'line 3 of '" + file +
                                       "' is longer than the line limit of 1048576 bytes'"});
    EXPECT_TRUE(readFileText(file) == input);
    expectNoLeftovers();

    writeFileText(file, "b\na\n");
    writeFileText(work, "a file where the work directory goes");
    capture.clear();
    EXPECT_EQ(byColumn(0, true, 1), -1);
    EXPECT_EQ(logged("SORTANDREPLACEEX: "),
              (std::vector<std::string>{"BatchSortByColumn instantiated", "sort init failed for " + names}));
    EXPECT_EQ(readFileText(file), "b\na\n");
    unlink(work.c_str());

    // The top-N result cannot be created: a directory holds its name.
    ASSERT_EQ(mkdir((file + ".top.tmp").c_str(), 0700), 0);
    capture.clear();
    EXPECT_EQ(sortAndReplaceEx(file.c_str(), BatchSortListSortAll, 1, true, false, 0, "", 0, 0), -1);
    std::vector<std::string> log = logged("SORTANDREPLACEEX: ");
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[2], "filed to open files '" + file + "' and/or tmpFile '" + tmp + "' workdir '" + work + "'");
    EXPECT_EQ(log[3], "Call rmdir for '" + work + "'");
    EXPECT_EQ(readFileText(file), "b\na\n");
    EXPECT_FALSE(fileExists(tmp));
    EXPECT_FALSE(fileExists(work));
    rmdir((file + ".top.tmp").c_str());

    // A work directory that refuses the sorter's runs: mode 0500, and for root a thread
    // without CAP_DAC_OVERRIDE (capabilities belong to a thread on Linux).
    BatchSort::setLimits(1, 256);
    std::string many;
    for (int i = 0; i < 20000; ++i) many += std::to_string(i * 7919 % 20000) + "\n";
    writeFileText(file, many);
    ASSERT_EQ(mkdir(work.c_str(), 0500), 0);
    int result = 0;
    capture.clear();
    bool denied =
        runWhereDirectoryRefusesWrites(work, [&] { result = sortAndReplace(file.c_str(), false, true, false); });
    if (!denied) GTEST_SKIP() << "cannot make a directory refuse writes here";
    EXPECT_EQ(result, -1);
    log = logged("SORTANDREPLACE: ");
    ASSERT_EQ(log.size(), 1u);
    // Root passes the init's access check and is refused the first run file.
    EXPECT_TRUE(log[0].rfind("sort failed for " + names + " with error 'cannot create run file '" + work + "/", 0) == 0 ||
                log[0].rfind("sort init failed for " + names + " with error 'cannot write to work directory", 0) == 0)
        << log[0];
    EXPECT_TRUE(readFileText(file) == many);
    EXPECT_FALSE(fileExists(tmp));
    EXPECT_FALSE(fileExists(work)) << "the empty work directory is removed";
}

TEST_F(SortAndReplace, ResultKeepsTheModeAndOwnerOfTheFile) {
    const bool root = geteuid() == 0;
    for (int topN : {-1, 0, 2}) {
        for (bool ascending : {false, true}) {
            SCOPED_TRACE(testing::Message() << "topN " << topN << (ascending ? " ascending" : " descending"));
            writeFileText(file, "c,3\nb,2\na,1\n");
            ASSERT_EQ(chmod(file.c_str(), 0604), 0);
            if (root) {
                ASSERT_EQ(chown(file.c_str(), 4321, 4322), 0);
            }
            ASSERT_EQ(topN < 0 ? sortAndReplace(file.c_str(), false, ascending, false) : byColumn(topN, ascending, 1), 0);
            struct stat st {};
            ASSERT_EQ(stat(file.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, 0604u);
            if (root) {
                EXPECT_EQ(std::make_pair(st.st_uid, st.st_gid), std::make_pair(uid_t(4321), gid_t(4322)));
            }
        }
    }
}
