#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <map>

#include "JobResults/JRGenerateCallback.h"
#include "Platform/JobResultsTable.h"
#include "Platform/SysCalls.h"
#include "Platform/TempNames.h"
#include "tests/JobResults/RetrieveFixture.h"
#include "tests/support/FaultInjection.h"

namespace {
using Lines = std::vector<std::string>;
using Files = std::map<std::string, std::string>;

// The directory's entries other than State; "<link>" and "<other>" stand for what is no regular file.
Files filesIn(const std::string& dir) {
    Files files;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.path().filename() != "State")
            files[entry.path().filename()] = entry.is_symlink() ? "<link>" : entry.is_regular_file() ? readFileText(entry.path()) : "<other>";
    return files;
}

class Generate : public RetrieveFixture {
protected:
    void freshJobDir() { std::filesystem::remove_all(jobDir()); makeJobDir(); }
    static std::string mapOf(const std::string& text) { return mapBytes(lineStartsOf(text)); }
};

// The raw files, in the order in which their writers started, make the results file and its
// map, also where the file system cannot copy in the kernel; an earlier map goes.
TEST_F(Generate, MergesRawFilesInStartOrderOnce) {
    // Temporary names of generations on this host (a process that no longer runs: beyond any
    // pid; this process) and on another host sharing the directory.
    const std::string here = ".generating.1." + TempNames::hostPart() + ".", otherHost = ".generating.1.elsewhere_host.99999.0000abcd";
    const std::string deadHere = here + "4194305.0000abcd", liveHere = here + std::to_string(getpid()) + ".0000abcd";
    struct MergeCase {
        const char* name; Files raw;  // "<link>": a link to State; "<other>": a FIFO
        std::string results;                         // "": the generation fails
        std::vector<std::pair<std::string, int>> log;  // raw.log: raw file, offset
        Files left;                                  // what else stays in the directory
    } cases[] = {
        {"by time stamp, over an earlier map",
         {{"backup_10_300", "c1\r\n"}, {"backup_11_100", "a1\r\na2\r\n"}, {"backup_12_200", "b1\r\n"}, {"1.map", "stale"}},
         "a1\r\na2\r\nb1\r\nc1\r\n", {{"backup_11_100", 0}, {"backup_12_200", 8}, {"backup_10_300", 12}}, {}},
        {"invalid stamp first, other kinds left alone, equal stamps by name",
         {{"backup_9_5", "late\r\n"}, {"backup_x", "x\r\n"}, {"backup_3_5", "early\r\n"}, {"crosscheck_1_1", "cc\r\n"}},
         "x\r\nearly\r\nlate\r\n", {{"backup_x", 0}, {"backup_3_5", 3}, {"backup_9_5", 10}}, {{"crosscheck_1_1", "cc\r\n"}}},
        {"a writer that died mid-line, and only regular files",
         {{"backup_1_1", "whole\r\nhal"}, {"backup_1_2", "next\r\n"}, {"backup_1_3", "<other>"}, {"backup_1_4", "<link>"}},
         "whole\r\nhal\r\nnext\r\n", {{"backup_1_1", 0}, {"backup_1_2", 12}}, {{"backup_1_3", "<other>"}, {"backup_1_4", "<link>"}}},
        {"remains of a generation that died",
         {{"backup_1_1", "one\r\n"}, {".generating.1.99999", "one\r\none\r\n"}, {".generating.1.99999.log", "junk"},
          {".generating.2.99999", "not ours"}, {deadHere, "dead"}, {deadHere + ".log", "dead"}, {liveHere, "live"}, {otherHost, "other host"}},
         "one\r\n", {{"backup_1_1", 0}},
         {{".generating.2.99999", "not ours"}, {liveHere, "live"}, {otherHost, "other host"}}},
        {"no input", {{"crosscheck_1_1", "cc\r\n"}}, "", {}, {{"crosscheck_1_1", "cc\r\n"}}},
    };
    for (const bool kernelCopy : {true, false})
        for (const MergeCase& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (kernelCopy ? "" : ", copied by reads and writes"));
            freshJobDir();
            for (const auto& [name, text] : c.raw)
                if (text == "<other>") mkfifo(inJob(name).c_str(), 0600);
                else if (text == "<link>") std::filesystem::create_symlink("State", inJob(name));
                else writeFileText(inJob(name), text);
            events.clear();
            RetrieveResults r = reader();
            SysCallTable calls = sys::calls();
            if (!kernelCopy)
                calls.copyFileRange = [](int, off_t*, int, off_t*, size_t, unsigned) -> ssize_t { return errno = EXDEV, -1; };
            const SysCallTable saved = sys::setSysCallsForTesting(calls);
            const bool failed = r.generateFile(r.getPath());
            sys::setSysCallsForTesting(saved);
            EXPECT_EQ(failed, c.results.empty());
            Files expected = c.left;
            if (!failed) expected["backup.out"] = c.results, expected["1.map"] = mapOf(c.results);
            for (int n = 0; const auto& [raw, at] : c.log)
                expected["raw.log"] += std::to_string(++n) + ": " + inJob(raw) + " begins at offset " + std::to_string(at) + "\r\n";
            EXPECT_EQ(events.debugLinesWith("generateFile: no input files in '" + jobDir() + "'"), failed ? 1u : 0u);
            EXPECT_EQ(filesIn(jobDir()), expected);
        }
}

// Raw files that a generation killed after putting the results file in place leaves go at the next
// page; raw files beside a results file made otherwise (raw.log does not name them) stay, unmerged.
TEST_F(Generate, RemovesOnlyRawFilesThatAResultsFileHolds) {
    for (const bool killed : {true, false}) {
        SCOPED_TRACE(killed ? "killed at its first removal" : "a results file made otherwise");
        freshJobDir();
        for (const char* raw : {"backup_1_1", "backup_1_2"}) writeFileText(inJob(raw), std::string(raw + 9) + "\r\n");
        const FaultPlan kill{SysKind::Unlink, 1, 0, true, false, "backup_1_"};
        if (killed) {
            EXPECT_EQ(runInChildWithFaults(kill, [&] { return reader().generateFile(inJob("backup.out").c_str()); }), 128 + SIGKILL);
        } else {
            writeFileText(inJob("backup.out"), "done\r\n");
            writeFileText(inJob("raw.log"), "1: " + inJob("backup_1_3") + " begins at offset 0\r\n");
        }
        ASSERT_TRUE(fileExists(inJob("backup_1_1")) && fileExists(inJob("backup_1_2")) && !fileExists(inJob("1.map")));
        RetrieveResults r = reader();
        EXPECT_EQ(fetchPage(r, 1, 10).lines, killed ? Lines({"1", "2"}) : Lines{"done"});
        EXPECT_EQ(fileExists(inJob("backup_1_1")) || fileExists(inJob("backup_1_2")), !killed);
    }
}

// A job that kept a results table: one line per row, the row's line a template of its key, and
// the table gone once the results file is in place. A row that cannot be written keeps the table
// as it was; so does a table that cannot be opened, whose rows must not be passed over for raw files.
TEST_F(Generate, WritesTableRowsAndThenRemovesTheTable) {
    const std::string longLine(JRGenerateCallback::kMaxLine, 'w');
    struct TableCase {
        const char* name; std::vector<std::pair<const char*, std::string>> rows;
        Lines lines;  // none: the generation fails
        bool damaged = false;
    } cases[] = {
        {"templates", {{"k1", "file %s saved"}, {"k2", "100%% of %s"}, {"k3", "a%nb%s%sc"}},
         {"file k1 saved", "100% of k2", "a%nbk3%sc"}},
        {"longest line", {{"k", longLine}}, {longLine}},
        {"one line too long", {{"k", "ok"}, {"k", longLine + "%s"}}, {}},  // with the key: one too many
        {"table that cannot be opened", {{"k", "kept"}}, {}, true},
    };
    for (const TableCase& c : cases) {
        SCOPED_TRACE(c.name);
        freshJobDir();
        {
            JobResultsTable table;
            ASSERT_TRUE(table.initialize(inJob("JobResults").c_str()) == 0 && table.create() == 0 && table.open(true) == 0);
            for (const auto& [key, line] : c.rows) ASSERT_EQ(table.insert(key, line.c_str()), 0);
        }
        std::string table = readFileText(inJob("JobResults"));
        if (c.damaged) {
            writeFileText(inJob("JobResults"), table.replace(0, 16, "damaged  header!"));
            writeFileText(inJob("backup_1_1"), "raw\r\n");
        }
        events.clear();
        RetrieveResults r = reader();
        bool failed = false;
        EXPECT_EQ(fetchPage(r, 1, 10, &failed).lines, c.lines);
        EXPECT_EQ(failed, c.lines.empty());
        const std::string text = joinedLines(c.lines);
        Files expected = c.lines.empty() ? Files{{"JobResults", table}} : Files{{"backup.out", text}, {"1.map", mapOf(text)}};
        if (c.damaged) expected["backup_1_1"] = "raw\r\n";
        EXPECT_EQ(filesIn(jobDir()), expected);
        EXPECT_EQ(events.debugLinesWith("transferred " + std::to_string(c.rows.size()) + " lines from the table"), failed ? 0u : 1u);
    }
}
}  // namespace
