#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "Indexing/icommon/BatchSortByColumn.h"
#include "Indexing/icommon/SortAndReplace.h"
#include "Platform/BatchSort.h"
#include "Platform/TempNames.h"
#include "tests/support/EventCapture.h"
#include "tests/support/FaultInjection.h"
#include "tests/support/SettingsFixture.h"

namespace {
struct SortAndReplace : ::testing::Test {
    // The list with a mode and (as root) an owner that a sort must hand to its result.
    void writeList(const std::string& text) {
        writeFileText(file, text);
        ASSERT_EQ(chmod(file.c_str(), 0604), 0);
        ASSERT_EQ(geteuid() == 0 ? chown(file.c_str(), 4321, 4322) : 0, 0);
    }
    // Nothing but the file itself, with the mode and owner writeList gave it, is left of the sort.
    void expectNoLeftovers() {
        DIR* dir = opendir(settings.dir().path().c_str());
        ASSERT_NE(dir, nullptr);
        while (dirent* entry = readdir(dir))
            EXPECT_NE(std::string(entry->d_name).rfind("list.txt.", 0), 0u) << entry->d_name;
        closedir(dir);
        if (!fileExists(file)) return;
        EXPECT_EQ(modeOf(file), 0604u);
        EXPECT_EQ(ownerOf(file), geteuid() == 0 ? std::make_pair(4321u, 4322u) : ownerOf(settings.dir().path()));
    }
    int byColumn(int topN, bool ascending, short type, const char* separators = ",", unsigned column = 2) {
        return sortAndReplaceEx(file.c_str(), BatchSortListSortByColumn, topN, ascending, false, column, separators, type, 0);
    }
    // The file sorted by column 2 of type 1, or the failure.
    std::string sortedByNumber(const std::string& text, bool ascending) {
        writeList(text);
        if (byColumn(0, ascending, 1) != 0) return "failed";
        expectNoLeftovers();
        return readFileText(file);
    }

    SettingsFixture settings;
    const std::string file = settings.dir().file("list.txt");
    EventCapture capture;
};
}  // namespace

TEST_F(SortAndReplace, ReplacesTheFileWithItsSortedLines) {
    writeList("pear\r\napple\nfig\napple\r\nFig");
    EXPECT_EQ(sortAndReplace(file.c_str(), false, true, false), 0);
    EXPECT_EQ(readFileText(file), "Fig\r\napple\r\napple\r\nfig\r\npear\r\n");
    expectNoLeftovers();
    EXPECT_EQ(sortAndReplaceEx(file.c_str(), BatchSortListSortUnique, 0, false, true, 0, "", 0, 0), 0);
    EXPECT_EQ(readFileText(file), "pear\r\nFig\r\napple\r\n") << "unique, descending, case folded";
    expectNoLeftovers();
}

// The first or last N lines are copied through fixed buffers, and the third line is longer
// than any of them.
TEST_F(SortAndReplace, TopNKeepsTheFirstOrTheLastLinesWhateverTheirLength) {
    for (int count : {2, 3, 4, 7, 10}) {
        SCOPED_TRACE(count);
        std::vector<std::string> sorted;
        for (int i = 0; i < count; ++i) sorted.push_back("line" + std::string(1, char('a' + i)) + std::string(i == 2 ? 9000 : 0, 'x'));
        const std::string shuffled = joinedLines({sorted.rbegin(), sorted.rend()}, "\n");
        const size_t kept = std::min<size_t>(3, sorted.size());

        writeList(shuffled);
        ASSERT_EQ(sortAndReplaceEx(file.c_str(), BatchSortListSortAll, 3, true, false, 0, "", 0, 0), 0);
        EXPECT_TRUE(readFileText(file) == joinedLines({sorted.begin(), sorted.begin() + kept}));
        expectNoLeftovers();
        writeList(shuffled);
        ASSERT_EQ(byColumn(3, true, 0), 0) << "ascending by column: the last lines";
        EXPECT_TRUE(readFileText(file) == joinedLines({sorted.end() - kept, sorted.end()}));
        expectNoLeftovers();
        writeList(shuffled);
        ASSERT_EQ(byColumn(3, false, 0), 0) << "descending by column: the first lines";
        EXPECT_TRUE(readFileText(file) == joinedLines({sorted.rbegin(), sorted.rbegin() + kept}));
        expectNoLeftovers();
    }
}

TEST_F(SortAndReplace, ByColumnAsDecimalHexadecimalOrQuotedText) {
    EXPECT_EQ(sortedByNumber("b,10\na,9\n", true), "a,9\r\nb,10\r\n");
    EXPECT_EQ(sortedByNumber("a,9\nb,10\n", false), "b,10\r\na,9\r\n");
    // Equal numbers fall back to the whole line; a missing or unreadable column counts as 0.
    EXPECT_EQ(sortedByNumber("z,5\nc,5\nm,5\nnone\nx,12\nq,abc\n", false), "x,12\r\nc,5\r\nm,5\r\nz,5\r\nnone\r\nq,abc\r\n");
    writeFileText(file, "r;ff;x\ns;1A;x\nv;zz;x\nt;0x10;x\nu;;x\n");
    ASSERT_EQ(byColumn(0, true, 2, ";"), 0);
    EXPECT_EQ(readFileText(file), "u;;x\r\nv;zz;x\r\nt;0x10;x\r\ns;1A;x\r\nr;ff;x\r\n");

    // A quoted column holds separators; with type 3 the column's text decides, any other type
    // the whole line.
    const struct {
        bool ascending;
        short type;
        unsigned column;
        const char* expected;
    } quoted[] = {{true, 3, 2, "2,a,b\r\n4,\"a,z\",\r\n1,\"b,x\",c\r\n3,\"c\\\"\",a\r\n"},
                 {true, 3, 3, "4,\"a,z\",\r\n3,\"c\\\"\",a\r\n2,a,b\r\n1,\"b,x\",c\r\n"},
                 {false, 3, 2, "3,\"c\\\"\",a\r\n1,\"b,x\",c\r\n4,\"a,z\",\r\n2,a,b\r\n"},
                 {true, 9, 3, "1,\"b,x\",c\r\n2,a,b\r\n3,\"c\\\"\",a\r\n4,\"a,z\",\r\n"}};
    writeFileText(file, "1,\"b,x\",c\n2,a,b\n3,\"c\\\"\",a\n4,\"a,z\",\n");
    for (const auto& c : quoted) {
        ASSERT_EQ(byColumn(0, c.ascending, c.type, ",", c.column), 0);
        EXPECT_EQ(readFileText(file), c.expected) << c.type << " " << c.column;
    }
    BatchSortByColumn sorter(0, ",", 3, 0);  // column 0 is taken as 1
    EXPECT_LT(sorter.compare("a,z", "b,a"), 0);
    EXPECT_EQ(sorter.compare("a,z", "a,y"), 0) << "equal columns: neither first";
}

TEST_F(SortAndReplace, FailuresLeaveTheInputUntouched) {
    EXPECT_EQ(sortAndReplace(file.c_str(), false, true, false), -1);
    ASSERT_EQ(capture.debugMessages().size(), 1u);
    EXPECT_EQ(capture.debugLinesWith("sort init failed for file '" + file + "' tmpFile '" + file + ".sorted."), 1u);
    EXPECT_EQ(capture.debugLinesWith("with error 'cannot open input file '" + file + "': No such file or directory'"), 1u);
    expectNoLeftovers();
    EXPECT_FALSE(fileExists(file));

    // Each step of the replace failing, as on a full disk: the sorted output's sync before the
    // rename (without it a power loss could leave the file empty under its name), the rename, and
    // the top-N result's write, sync and rename. (The sorter's own failures: BatchSortTest.)
    const std::string input = "3\n1\n2\n5\n4\n";
    const struct {
        const char* label;
        SysKind kind;
        const char* pathPart;
        int topN;
    } cases[] = {{"output sync", SysKind::Sync, ".sorted.", 0}, {"rename", SysKind::Rename, ".sorted.", 0},
                 {"top-N result", SysKind::Write, ".top.", 2},  {"top-N sync", SysKind::Sync, ".top.", 2},
                 {"top-N rename", SysKind::Rename, ".top.", 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        writeList(input);
        FaultInjection faults({.kind = c.kind, .at = 1, .error = ENOSPC, .persistent = true, .pathPart = c.pathPart});
        EXPECT_EQ(sortAndReplaceEx(file.c_str(), BatchSortListSortAll, c.topN, true, false, 0, "", 0, 0), -1);
        EXPECT_GE(faults.injected(), 1);
        EXPECT_EQ(readFileText(file), input);
        expectNoLeftovers();
    }
}

// What a killed sort left on this host goes with the next sort of the file; a running
// process's files and another host's stay. The sort's own names are fresh ones: links planted at
// the names an older sort used are neither written through nor renamed over the file.
TEST_F(SortAndReplace, NextSortRemovesWhatKilledSortsOfThisHostLeftAndFollowsNoLink) {
    const std::string victim = settings.dir().file("victim");
    writeFileText(victim, "precious\n");
    for (const char* suffix : {".tmp", ".top.tmp"}) ASSERT_EQ(symlink(victim.c_str(), (file + suffix).c_str()), 0);
    ASSERT_EQ(symlink(settings.dir().path().c_str(), (file + "_folder.tmp").c_str()), 0);
    const std::string dead = file + ".sorted." + TempNames::hostPart() + ".999999999.0badf00d";
    const std::string deadWork = file + ".sortwork." + TempNames::hostPart() + ".999999999.0badf00d";
    const std::string live = file + ".top." + TempNames::hostPart() + "." + std::to_string(getpid()) + ".0badf00d";
    const std::string otherHost = file + ".sorted.otherhost.999999999.0badf00d";
    ASSERT_EQ(mkdir(deadWork.c_str(), 0700), 0);
    for (const std::string& name : {dead, deadWork + "/BatchSort.999999999.0.run", live, otherHost}) writeFileText(name, "x");
    writeFileText(file, "b\na\nc\n");
    ASSERT_EQ(sortAndReplace(file.c_str(), false, true, false), 0);
    EXPECT_FALSE(fileExists(dead) || fileExists(deadWork));
    EXPECT_TRUE(fileExists(live) && fileExists(otherHost));
    ASSERT_EQ(sortAndReplaceEx(file.c_str(), BatchSortListSortAll, 2, true, false, 0, "", 0, 0), 0);
    EXPECT_EQ(readFileText(file), "a\r\nb\r\n");
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(file)));
    EXPECT_EQ(readFileText(victim), "precious\n");
}
