#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "Indexing/idxport/CXFile.h"
#include "JobResults/JRGenerateCallback.h"
#include "Platform/JobResultsTable.h"
#include "Platform/TempNames.h"
#include "tests/JobResults/RetrieveFixture.h"

namespace {
using Lines = std::vector<std::string>;
using Files = std::map<std::string, std::string>;

// The directory's entries other than State.
Files filesIn(const std::string& dir) {
    Files files;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename();
        if (name == "State") continue;
        files[name] = entry.is_regular_file() ? readFileText(entry.path()) : "<not a file>";
    }
    return files;
}

class Generate : public RetrieveFixture {};

// The first page request of a job that stored raw files merges them, in the order in which
// their writers started, into the results file, and then serves it.
TEST_F(Generate, MergesRawFilesInStartOrderOnce) {
    // Temporary names of generations on this host (a process that no longer runs: beyond any
    // pid; this process) and on another host sharing the directory.
    const std::string here = ".generating.1." + TempNames::hostPart() + ".";
    const std::string deadHere = here + "4194305.0000abcd", liveHere = here + std::to_string(getpid()) + ".0000abcd";
    const std::string otherHost = ".generating.1.elsewhere_host.99999.0000abcd";
    struct MergeCase {
        const char* name;
        Files raw;
        bool fails;
        std::string results;    // backup.out afterwards ("" : none)
        Lines log;              // raw.log: "<n> <raw file> <offset>"
        Files left;             // what else stays in the directory
    } cases[] = {
        {"by time stamp",
         {{"backup_10_300", "c1\r\n"}, {"backup_11_100", "a1\r\na2\r\n"}, {"backup_12_200", "b1\r\n"}},
         false, "a1\r\na2\r\nb1\r\nc1\r\n", {"1 backup_11_100 0", "2 backup_12_200 8", "3 backup_10_300 12"}, {}},
        {"invalid stamp first, other kinds left alone, equal stamps by name",
         {{"backup_9_5", "late\r\n"}, {"backup_x", "x\r\n"}, {"backup_3_5", "early\r\n"},
          {"crosscheck_1_1", "cc\r\n"}},
         false, "x\r\nearly\r\nlate\r\n", {"1 backup_x 0", "2 backup_3_5 3", "3 backup_9_5 10"},
         {{"crosscheck_1_1", "cc\r\n"}}},
        {"a writer that died mid-line",
         {{"backup_1_1", "whole\r\nhal"}, {"backup_1_2", "next\r\n"}},
         false, "whole\r\nhal\r\nnext\r\n", {"1 backup_1_1 0", "2 backup_1_2 12"}, {}},
        {"remains of a generation that died",
         {{"backup_1_1", "one\r\n"}, {".generating.1.99999", "one\r\none\r\n"}, {".generating.1.99999.log", "junk"},
          {".generating.2.99999", "not ours"}, {deadHere, "dead"}, {deadHere + ".log", "dead"},
          {liveHere, "live"}, {otherHost, "other host"}},
         false, "one\r\n", {"1 backup_1_1 0"},
         {{".generating.2.99999", "not ours"}, {liveHere, "live"}, {otherHost, "other host"}}},
        {"no input", {{"crosscheck_1_1", "cc\r\n"}}, true, "", {}, {{"crosscheck_1_1", "cc\r\n"}}},
    };
    for (const MergeCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(jobDir());
        makeJobDir();
        for (const auto& [name, text] : c.raw) writeFileText(inJob(name), text);
        events.clear();
        RetrieveResults r = reader();
        bool failed = false;
        const Page page = fetchPage(r, 1, 100, &failed);
        EXPECT_EQ(failed, c.fails);
        Files expected = c.left;
        if (!c.fails) {
            expected["backup.out"] = c.results;
            expected["1.map"] = readFileText(inJob("1.map"));
            std::string log;
            for (const std::string& line : c.log) {
                const size_t blank = line.find(' '), second = line.rfind(' ');
                log += line.substr(0, blank) + ": " + inJob(line.substr(blank + 1, second - blank - 1)) +
                       " begins at offset " + line.substr(second + 1) + "\r\n";
            }
            expected["raw.log"] = log;
            EXPECT_EQ(static_cast<int64_t>(page.lines.size()), page.total);
        } else {
            EXPECT_EQ(page.code, 3);
            EXPECT_EQ(events.debugLinesWith("generateFile: no input files in '" + jobDir() + "'"), 1u);
        }
        EXPECT_EQ(filesIn(jobDir()), expected);
    }
}

// Only regular files are merged: a FIFO or a link named like a raw file is skipped and stays.
TEST_F(Generate, SkipsWhatIsNotARegularFile) {
    makeJobDir();
    writeFileText(inJob("backup_1_2"), "real\r\n");
    ASSERT_EQ(mkfifo(inJob("backup_1_1").c_str(), 0600), 0);
    writeFileText(settings.dir().file("secret"), "secret\r\n");
    std::filesystem::create_symlink(settings.dir().file("secret"), inJob("backup_1_3"));
    RetrieveResults r = reader();
    EXPECT_EQ(fetchPage(r, 1, 10).lines, Lines{"real"});
    EXPECT_TRUE(std::filesystem::is_fifo(inJob("backup_1_1")));
    EXPECT_TRUE(std::filesystem::is_symlink(inJob("backup_1_3")));
    EXPECT_FALSE(fileExists(inJob("backup_1_2")));
}

// A results file that is there already (another reader made it, or a generation put it in
// place and died before deleting its input) is served as it is: nothing is merged twice.
TEST_F(Generate, LeavesAResultsFileThatIsThereAlone) {
    makeJobDir();
    writeFileText(inJob("backup.out"), "done\r\n");
    writeFileText(inJob("backup_1_1"), "done\r\n");
    RetrieveResults r = reader();
    ASSERT_FALSE(r.generateFile(r.getPath()));
    EXPECT_EQ(readFileText(inJob("backup.out")), "done\r\n");
    EXPECT_TRUE(fileExists(inJob("backup_1_1")));
}

// A map of an earlier results file of the name would describe other lines: it goes when the
// generated file is put in place, and the page is served from a map of the new file.
TEST_F(Generate, AnEarlierMapGoesWithTheNewFile) {
    makeJobDir();
    writeFileText(inJob("backup_1_1"), "a\r\nb\r\nc\r\n");
    unsigned char entries[2 * kMapEntrySize];
    encodeMapEntry(0, entries);
    encodeMapEntry(6, entries + kMapEntrySize);  // fits the new file, but joins its first two lines
    writeFileText(inJob("1.map"), std::string(reinterpret_cast<char*>(entries), sizeof entries));
    RetrieveResults r = reader();
    const Page page = fetchPage(r, 1, 10);
    EXPECT_EQ(page.lines, (Lines{"a", "b", "c"}));
    EXPECT_EQ(page.total, 3);
}

struct TableRow {
    const char* key;
    const char* line;
};

void makeTable(const std::string& path, const std::vector<TableRow>& rows) {
    JobResultsTable table;
    ASSERT_EQ(table.initialize(path.c_str()), 0);
    ASSERT_EQ(table.create(), 0);
    ASSERT_EQ(table.open(true), 0);
    for (const TableRow& row : rows) ASSERT_EQ(table.insert(row.key, row.line), 0);
}

// A job that kept a results table: one line per row, the row's line a template of its key, and
// the table gone once the results file is in place; a row that cannot be written keeps it.
TEST_F(Generate, WritesTableRowsAndThenRemovesTheTable) {
    const std::string longLine(JRGenerateCallback::kMaxLine, 'w');
    const std::string oneTooLong = longLine + "%s";  // with the key "k": one character too many
    struct TableCase {
        const char* name;
        std::vector<TableRow> rows;
        Lines lines;  // empty: the generation fails
    } cases[] = {
        {"templates", {{"k1", "file %s saved"}, {"k2", "100%% of %s"}, {"k3", "a%nb%s%sc"}},
         {"file k1 saved", "100% of k2", "a%nbk3%sc"}},
        {"longest line", {{"k", longLine.c_str()}}, {longLine}},
        {"one line too long", {{"k", "ok"}, {"k", oneTooLong.c_str()}}, {}},
        {"table that cannot be opened", {{"k", "kept"}}, {}},
    };
    for (const TableCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(jobDir());
        makeJobDir();
        makeTable(inJob("JobResults"), c.rows);
        std::string tableBytes = readFileText(inJob("JobResults"));
        if (c.name == std::string("table that cannot be opened")) {
            // Damaged: no more a table than a missing one, but its rows must not be passed over
            // for raw files.
            tableBytes.replace(0, 16, "damaged  header!");
            writeFileText(inJob("JobResults"), tableBytes);
            writeFileText(inJob("backup_1_1"), "raw\r\n");
        }
        events.clear();
        RetrieveResults r = reader();
        bool failed = false;
        const Page page = fetchPage(r, 1, 10, &failed);
        EXPECT_EQ(failed, c.lines.empty());
        EXPECT_EQ(page.lines, c.lines);
        EXPECT_EQ(fileExists(inJob("JobResults")), c.lines.empty());
        EXPECT_EQ(fileExists(inJob("backup.out")), !c.lines.empty());
        if (!c.lines.empty()) {
            const std::string transferred = "transferred " + std::to_string(c.rows.size()) + " lines from the table";
            EXPECT_EQ(events.debugLinesWith(transferred), 1u);
        } else {
            EXPECT_EQ(readFileText(inJob("JobResults")), tableBytes);
            EXPECT_EQ(filesIn(jobDir()).size(), c.name == std::string("table that cannot be opened") ? 2u : 1u)
                << "nothing but the input";
        }
    }
}
}  // namespace
