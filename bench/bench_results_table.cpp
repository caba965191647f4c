// Rows per second of the job results table, in DIRECTORY:
//   bench_results_table DIRECTORY [ROWS, default 200000] [SINGLE ROWS, default 500]
// Removable storing as a job does it (openRemovable, putRemovableLine, closeRemovable: rows
// grouped into transactions, every one synced), against the floor of one synced transaction
// per row (SINGLE ROWS of them, straight into the table); then a search that visits every row.
// Rows are result lines of about 90 bytes under one of 100 keys.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchCommon.h"

#include "JobResults/StoreResults.h"
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

std::string keyOf(long row) { return "key" + std::to_string(row % 100); }

struct Counter : JobResultsCallback {
    int function(JobResultsTable*, JobResultsRecord* record) override {
        bytes += record->line.size() + record->key.size();
        return 0;
    }
    size_t bytes = 0;
};

void report(const char* what, long rows, double seconds) {
    std::printf("%-40s %8ld rows %8.3f s %12.0f rows/s\n", what, rows, seconds, rows / seconds);
}

int failed(const std::string& why) {
    std::fprintf(stderr, "bench_results_table: %s\n", why.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_results_table DIRECTORY [ROWS] [SINGLE ROWS]\n");
        return 64;
    }
    const long rows = argc > 2 ? std::atol(argv[2]) : 200000;
    const long singles = argc > 3 ? std::atol(argv[3]) : 500;
    benchRequireDirectory("bench_results_table", argv[1]);
    const std::string dir = argv[1];
    benchUseResultsCache(dir);

    // The floor: each row its own synced transaction.
    const std::string single = dir + "/single";
    JobResultsTable table;
    if (table.initialize(single.c_str()) != 0 || table.removeTable() != 0 || table.create() != 0)
        return failed("cannot create " + single + ": " + table.lastErrorText());
    Clock::time_point start = Clock::now();
    for (long row = 0; row < singles; ++row)
        if (table.insert(keyOf(row).c_str(), lineOf(row).c_str()) != 0) return failed(table.lastErrorText());
    const double singleRate = singles / secondsSince(start);
    report("insert, one transaction per row", singles, singles / singleRate);
    table.removeTable();

    // The rows are made before the clock starts: what is timed is storing them.
    std::vector<std::string> keys, lines;
    for (long row = 0; row < rows; ++row) keys.push_back(keyOf(row)), lines.push_back(lineOf(row));
    start = Clock::now();
    {
        StoreResults store(2, (int64_t(5) << 32) | 7, true, "client1");
        if (store.openRemovable(kResultsBackup)) return failed("openRemovable failed (see the log in " + dir + "/log)");
        for (long row = 0; row < rows; ++row)
            if (store.putRemovableLine(keys[row].c_str(), lines[row].c_str())) return failed("putRemovableLine failed");
        if (store.closeRemovable()) return failed("closeRemovable failed");
    }
    const double storeSeconds = secondsSince(start);
    report("putRemovableLine + closeRemovable", rows, storeSeconds);
    benchSummaryRow("removable rows (putRemovableLine)", benchText("%.0f rows/s", rows / storeSeconds),
                    benchText("one transaction a row %.0f rows/s", singleRate), rows / storeSeconds / 50000,
                    ">= 50,000 rows/s (ratio to it >= 1)");

    const std::string path = dir + "/idx/KR_JobResults/2/5/7/JobResults";
    if (table.initialize(path.c_str()) != 0 || table.open(false) != 0) return failed(table.lastErrorText());
    Counter counter;
    start = Clock::now();
    const int64_t visited = table.search(nullptr, &counter);
    report("search, every row", static_cast<long>(visited), secondsSince(start));
    start = Clock::now();
    const int64_t ofKey = table.search("key42", &counter);
    report("search, one key of 100", static_cast<long>(ofKey), secondsSince(start));
    if (visited != rows) return failed("visited " + std::to_string(visited) + " rows of " + std::to_string(rows));
    return table.removeTable();
}
