#include <poll.h>

#include <string>

#include "HelperCommand.h"
#include "Platform/JobResultsTable.h"

namespace {
// Checks that the rows are "line 1", "line 2", ... in rising sequence: a prefix of what the
// writer inserts.
struct PrefixCheck : JobResultsCallback {
    int function(JobResultsTable*, JobResultsRecord* record) override {
        if (record->sequence <= last || record->line != "line " + std::to_string(rows + 1)) return 1;
        last = record->sequence;
        ++rows;
        return 0;
    }
    int64_t rows = 0, last = 0;
};
}  // namespace

// table_read PATH: opens the table read-only, prints "ready", then searches it over and over,
// printing "seen N" whenever the number of rows changes. A line on its input ends it after one
// more search, printed as "final N". Any failure prints "error: ..." and exits 1.
HELPER_COMMAND(table_read) {
    if (args.size() != 1) return 64;
    JobResultsTable table;
    if (table.initialize(args[0].c_str()) != 0 || table.open(false) != 0) {
        helperSay("error: " + table.lastErrorText());
        return 1;
    }
    helperSay("ready");
    int64_t seen = -1;
    for (bool last = false; !last;) {
        pollfd input{0, POLLIN, 0};
        last = poll(&input, 1, 0) > 0;
        PrefixCheck check;
        const int64_t rows = table.search(nullptr, &check);
        if (rows < 0) {
            helperSay("error: " + table.lastErrorText() + " after row " + std::to_string(check.rows));
            return 1;
        }
        if (last) helperSay("final " + std::to_string(rows));
        else if (rows != seen) helperSay("seen " + std::to_string(rows));
        seen = rows;
    }
    return 0;
}

// table_die_in_batch PATH: inserts into the table in a batch until SQLite has written part of
// it into the database file, prints "ready" and waits to be killed.
HELPER_COMMAND(table_die_in_batch) {
    if (args.size() != 1) return 64;
    JobResultsTable table;
    if (table.initialize(args[0].c_str()) != 0 || table.open(true) != 0 || table.beginBatch() != 0) return 1;
    const std::string big(4000, 'b');
    for (int i = 0; i < 3000; ++i)  // 12 MB: well past the page cache, so pages spill
        if (table.insert("spilled", big.c_str()) != 0) return 1;
    helperSay("ready");
    helperAwaitLine();
    return 0;
}
