#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <set>

#include "Platform/JobResultsTable.h"
#include "tests/support/HelperProcess.h"
#include "tests/support/TempDir.h"

namespace {
// Collects "key:line" of each row; fails at row number failAt (from 1) when given.
struct Collector : JobResultsCallback {
    explicit Collector(int failAtRow = 0) : failAt(failAtRow) {}
    int function(JobResultsTable* table, JobResultsRecord* record) override {
        seen.push_back(record->key + ":" + record->line);
        sequences.push_back(record->sequence);
        if (intrude) insertFromCallback = table->insert("x", "x");
        return static_cast<int>(seen.size()) == failAt ? -1 : 0;
    }
    int failAt;
    bool intrude = false;
    int insertFromCallback = 0;
    std::vector<std::string> seen;
    std::vector<int64_t> sequences;
};

std::vector<std::string> rowsOf(JobResultsTable& table, const char* key = nullptr) {
    Collector all;
    const int64_t visited = table.search(key, &all);
    EXPECT_EQ(visited, static_cast<int64_t>(all.seen.size())) << table.lastErrorText();
    return all.seen;
}

std::set<std::string> entriesOf(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) names.insert(entry.path().filename());
    return names;
}

struct JobResultsTableTest : ::testing::Test {
    TempDir dir;
    std::string path = dir.file("JobResults");
    JobResultsTable table;
    void SetUp() override { ASSERT_EQ(table.initialize(path.c_str()), 0); }
};
}  // namespace

// Rows come back in insertion order, by key or all; a callback that fails stops the search and one
// may not change the table it visits; removing the table takes its journal too.
TEST_F(JobResultsTableTest, RowsComeBackInInsertionOrderByKeyAndGoByKey) {
    EXPECT_FALSE(table.tableExists());
    EXPECT_EQ(table.open(false), ENOENT);
    const mode_t old = umask(027);
    ASSERT_EQ(table.create(), 0) << table.lastErrorText();
    umask(old);
    EXPECT_EQ(modeOf(path), 0640u);
    const char* rows[][2] = {{"b", "%s 100%% done"}, {"a", "first a"}, {"b", "é\tx"}, {"a", "%n%s%s"}};
    for (auto& row : rows) ASSERT_EQ(table.insert(row[0], row[1]), 0) << table.lastErrorText();
    EXPECT_EQ(rowsOf(table), (std::vector<std::string>{"b:%s 100%% done", "a:first a", "b:é\tx", "a:%n%s%s"}));
    EXPECT_EQ(rowsOf(table, "b"), (std::vector<std::string>{"b:%s 100%% done", "b:é\tx"}));
    EXPECT_EQ(table.removeRows("a"), 2);
    EXPECT_EQ(table.removeRows("none"), 0);
    ASSERT_EQ(table.insert("c", "later"), 0);
    Collector failing(2), intruder;
    EXPECT_LT(table.search(nullptr, &failing), 0);
    EXPECT_EQ(failing.seen.size(), 2u);
    intruder.intrude = true;
    EXPECT_EQ(table.search(nullptr, &intruder), 3);
    EXPECT_EQ(intruder.insertFromCallback, EBUSY);
    EXPECT_EQ(table.create(), EEXIST);
    EXPECT_EQ(entriesOf(dir.path()), std::set<std::string>{"JobResults"}) << "nothing left of the making";

    ASSERT_EQ(table.open(false), 0) << table.lastErrorText();
    EXPECT_TRUE(table.tableExists());
    Collector after;
    EXPECT_EQ(table.search(nullptr, &after), 3);
    EXPECT_EQ(after.seen, (std::vector<std::string>{"b:%s 100%% done", "b:é\tx", "c:later"}));
    EXPECT_TRUE(std::is_sorted(after.sequences.begin(), after.sequences.end()));
    EXPECT_EQ(table.insert("c", "read-only"), EBADF);
    EXPECT_LT(table.removeRows("b"), 0);

    ASSERT_EQ(table.open(true), 0);
    ASSERT_EQ(table.beginBatch(), 0);  // a journal exists during a batch
    ASSERT_EQ(table.insert("k", "5"), 0);
    EXPECT_EQ(table.removeTable(), 0);
    EXPECT_TRUE(entriesOf(dir.path()).empty());
    EXPECT_FALSE(table.isOpen());
    EXPECT_EQ(table.removeTable(), 0) << "a missing table is no error";
}

// A batch, and the rows of a queue, go in as one transaction each; closing rolls back an open
// batch and commits the queue.
TEST_F(JobResultsTableTest, ABatchAndAQueueAreOneTransactionEach) {
    ASSERT_EQ(table.create(), 0);
    ASSERT_EQ(table.beginBatch(), 0);
    for (int i = 1; i <= 10000; ++i) ASSERT_EQ(table.insert(i % 2 ? "odd" : "even", std::to_string(i).c_str()), 0);
    EXPECT_EQ(table.queue("q", "in a batch", false), EINVAL);
    ASSERT_EQ(table.commitBatch(), 0) << table.lastErrorText();
    ASSERT_EQ(table.beginBatch(), 0);
    ASSERT_EQ(table.insert("odd", "rolled back"), 0);
    ASSERT_EQ(table.rollbackBatch(), 0);
    for (const char* line : {"q1", "q2"}) ASSERT_EQ(table.queue("q", line, line[1] == '2'), 0);
    ASSERT_EQ(table.queue("q", "q3", false), 0);
    EXPECT_EQ(table.beginBatch(), EINVAL) << "rows are queued";
    ASSERT_EQ(table.close(), 0) << table.lastErrorText();
    ASSERT_EQ(table.open(true), 0);
    ASSERT_EQ(table.beginBatch(), 0);
    ASSERT_EQ(table.insert("odd", "closed with the batch open"), 0);
    ASSERT_EQ(table.open(false), 0);
    std::vector<std::string> rows = rowsOf(table);
    ASSERT_EQ(rows.size(), 10003u);
    for (int i = 1; i <= 10000; ++i) ASSERT_EQ(rows[i - 1], (i % 2 ? "odd:" : "even:") + std::to_string(i));
    EXPECT_EQ(rowsOf(table, "q"), (std::vector<std::string>{"q:q1", "q:q2", "q:q3"}));
    EXPECT_EQ(rowsOf(table, "even").size(), 5000u);
}

TEST_F(JobResultsTableTest, WhatIsNotAJobResultsTableIsRefusedAndLeftAlone) {
    JobResultsTable other;
    ASSERT_EQ(other.initialize(dir.file("other").c_str()), 0);
    ASSERT_EQ(other.create(), 0);
    ASSERT_EQ(other.close(), 0);
    std::string foreign = readFileText(dir.file("other"));
    foreign[68] ^= 1;  // the header's application id: a database of another program
    const std::string cases[] = {"", "not a database\n", std::string(4096, '\xff'), foreign,
                                 "SQLite format 3" + std::string(1, '\0') + std::string(200, '\x01')};
    for (const std::string& content : cases) {
        writeFileText(path, content);
        EXPECT_FALSE(table.tableExists()) << content.size();
        EXPECT_FALSE(table.lastErrorText().empty());
        EXPECT_EQ(table.open(false), EINVAL) << content.size();
        EXPECT_EQ(table.open(true), EINVAL) << content.size();
        EXPECT_EQ(table.create(), EEXIST);
        EXPECT_EQ(readFileText(path), content) << "a refused file must stay as it was";
    }
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(symlink(dir.file("other").c_str(), path.c_str()), 0);
    foreign[68] ^= 1;
    writeFileText(dir.file("other"), foreign);
    EXPECT_FALSE(table.tableExists()) << "a symbolic link is not followed";
    EXPECT_EQ(table.open(false), ELOOP);
}

// The reader searches over and over while this process inserts, first in queues of three,
// then row by row: it never fails (the busy timeout) and sees only whole queues, in order.
TEST_F(JobResultsTableTest, AReaderInAnotherProcessSeesWholeBatchesWhileRowsGoIn) {
    ASSERT_EQ(table.create(), 0);
    HelperProcess reader({"table_read", path}, "ready");
    const int batched = 450, total = 501;
    for (int n = 0; n < total; n += 3)
        for (int i = 1; i <= 3; ++i) {
            const std::string line = "line " + std::to_string(n + i);
            ASSERT_EQ(n < batched ? table.queue("k", line.c_str(), i == 3) : table.insert("k", line.c_str()), 0)
                << table.lastErrorText();
        }
    reader.writeLine("");
    int previous = -1;
    std::string line;
    while ((line = reader.readLine()).rfind("seen ", 0) == 0) {
        const int seen = std::stoi(line.substr(5));
        EXPECT_GT(seen, previous);
        EXPECT_TRUE(seen % 3 == 0 || seen > batched) << "a batch seen in part: " << seen;
        previous = seen;
    }
    EXPECT_EQ(line, "final " + std::to_string(total));
    EXPECT_EQ(reader.wait(), 0);
}

TEST_F(JobResultsTableTest, AWriterKilledInsideABatchLeavesTheRowsBeforeIt) {
    ASSERT_EQ(table.create(), 0);
    ASSERT_EQ(table.insert("kept", "before"), 0);
    ASSERT_EQ(table.close(), 0);
    HelperProcess writer({"table_die_in_batch", path}, "ready");
    writer.kill(SIGKILL);
    writer.wait();
    ASSERT_TRUE(fileExists(path + "-journal")) << "the dead writer's journal";
    EXPECT_TRUE(table.tableExists()) << table.lastErrorText();
    ASSERT_EQ(table.open(false), 0) << table.lastErrorText();
    EXPECT_EQ(rowsOf(table), std::vector<std::string>{"kept:before"});
}
