// Rows per second of the job results table, in a table made in DIRECTORY:
//   bench_results_table DIRECTORY [ROWS, default 100000] [SINGLE ROWS, default 2000]
// Inserts of one row per transaction (each one synced to disk: SINGLE ROWS of them), inserts of
// ROWS rows in one batch, and a search that visits every row. Rows are result lines of about
// 90 bytes under one of 100 keys.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "BenchCommon.h"

#include "Platform/JobResultsTable.h"

namespace {
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string lineOf(long row) {
    return "%s 0x" + std::to_string(row * 7919) + " /data/set" + std::to_string(row % 97) +
           "/some/where/deep/in/the/tree/file" + std::to_string(row) + ".dat 12345";
}

struct Counter : JobResultsCallback {
    int function(JobResultsTable*, JobResultsRecord* record) override {
        bytes += record->line.size() + record->key.size();
        return 0;
    }
    size_t bytes = 0;
};

void report(const char* what, long rows, double seconds) {
    std::printf("%-34s %8ld rows %8.3f s %12.0f rows/s\n", what, rows, seconds, rows / seconds);
}

// Inserts rows [from, from + count), each its own transaction or all in one batch.
bool insertRows(JobResultsTable& table, long from, long count, bool batch) {
    if (batch && table.beginBatch() != 0) return false;
    for (long row = from; row < from + count; ++row) {
        const std::string key = "key" + std::to_string(row % 100);
        if (table.insert(key.c_str(), lineOf(row).c_str()) != 0) return false;
    }
    return !batch || table.commitBatch() == 0;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_results_table DIRECTORY [ROWS] [SINGLE ROWS]\n");
        return 64;
    }
    const long rows = argc > 2 ? std::atol(argv[2]) : 100000;
    const long singles = argc > 3 ? std::atol(argv[3]) : 2000;
    benchRequireDirectory("bench_results_table", argv[1]);
    const std::string path = std::string(argv[1]) + "/JobResults";
    JobResultsTable table;
    if (table.initialize(path.c_str()) != 0 || table.removeTable() != 0 || table.create() != 0) {
        std::fprintf(stderr, "cannot create %s: %s\n", path.c_str(), table.lastErrorText().c_str());
        return 1;
    }
    Clock::time_point start = Clock::now();
    if (!insertRows(table, 0, singles, false)) return std::fprintf(stderr, "%s\n", table.lastErrorText().c_str()), 1;
    const double singleSeconds = secondsSince(start);
    report("insert, one row per transaction", singles, singleSeconds);
    benchSummaryRow("results table rows, one transaction each", benchText("%.0f rows/s", singles / singleSeconds),
                    "-", singles / singleSeconds / 50000, ">= 50,000 rows/s (ratio to it >= 1)");

    start = Clock::now();
    if (!insertRows(table, singles, rows, true)) return std::fprintf(stderr, "%s\n", table.lastErrorText().c_str()), 1;
    report("insert, one batch", rows, secondsSince(start));

    if (table.open(false) != 0) return std::fprintf(stderr, "%s\n", table.lastErrorText().c_str()), 1;
    Counter counter;
    start = Clock::now();
    const int64_t visited = table.search(nullptr, &counter);
    report("search, every row", static_cast<long>(visited), secondsSince(start));
    start = Clock::now();
    const int64_t ofKey = table.search("key42", &counter);
    report("search, one key of 100", static_cast<long>(ofKey), secondsSince(start));
    if (visited != singles + rows) return std::fprintf(stderr, "visited %lld\n", static_cast<long long>(visited)), 1;
    return table.removeTable();
}
