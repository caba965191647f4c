// The job results table: rows of result lines under a key, kept in one embedded SQLite
// database file ("JobResults" in a job's results directory), visited in the order in which they
// were inserted. The only place of the library that talks to SQLite.
//
// Storage choices: the rollback journal (journal_mode DELETE) with synchronous FULL, because a
// results directory may live on a network file system where WAL's shared-memory index is not
// safe; a busy timeout (kBusyTimeoutMs) so that a second process waits for a writer's
// transaction instead of failing at once, and never without limit; prepared statements kept
// for the life of the open table.
//
// Results: 0 (or a count) on success; a non-zero error code (an errno value, or EIO/EBUSY/
// EINVAL/ENOTSUP for SQLite's own failures, ESTALE for a write to a table that was removed or
// replaced since it was opened; lastErrorText() tells more) on failure; the counts of removeRows
// and search are negative on failure.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// One row as the traversal hands it to a callback. The row's line is its first text field and
// its key the second: a line is a template in which "%s" stands for the key and "%%" for a
// percent sign.
struct JobResultsRecord {
    int64_t sequence = 0;  // insertion order, from 1
    std::string line;      // first text field
    std::string key;       // second text field
};

class JobResultsTable;

// Receives each row of a search. A non-zero result stops the traversal, which then fails.
class JobResultsCallback {
public:
    virtual ~JobResultsCallback() = default;
    virtual int function(JobResultsTable* table, JobResultsRecord* record) = 0;
};

// A keyed table in a database file of its own.
class TCtreeTable {
public:
    static constexpr int kBusyTimeoutMs = 30000;
    // Test seam: the busy timeout of connections opened from now on (0 restores kBusyTimeoutMs).
    static void setBusyTimeoutForTests(int milliseconds);

    TCtreeTable() = default;
    virtual ~TCtreeTable();  // closes
    TCtreeTable(const TCtreeTable&) = delete;
    TCtreeTable& operator=(const TCtreeTable&) = delete;

    // Remembers the database file's path; opens nothing. 0, or EINVAL for an empty path.
    virtual int initialize(const char* path);
    // The database file exists and holds this table. A file that is not a database (or not
    // this table's) is not a table: false, with lastErrorText() telling why.
    bool tableExists();
    // Whether the table is there, told apart from why it cannot be opened now: 0 when the file
    // holds this table, ENOENT only when there is no file at all, and otherwise the error of
    // the open (EBUSY after the busy timeout, EINVAL for a damaged or foreign file, EACCES,
    // EIO...), with lastErrorText() telling more. Such a file is no missing table.
    int lookUp();
    // Creates the database file and the table, and leaves it open for writing; EEXIST when the
    // file is already there.
    virtual int create();
    // Opens the existing table; writable false opens it read-only. ENOENT when there is none,
    // EINVAL when the file is not a database of this table. Opening an open table reopens it.
    virtual int open(bool writable);
    // Closes the database (a no-op when closed): 0, or the error of the close (also of the
    // commit of queued rows it makes first).
    int close();
    // Closes and removes the database file and its journal; a missing file is no error.
    int removeTable();

    bool isOpen() const { return db_ != nullptr; }
    const std::string& path() const { return path_; }
    int lastError() const { return lastError_; }
    const std::string& lastErrorText() const { return lastErrorText_; }

protected:
    // Creates this table's schema in a new database (inside a transaction).
    virtual int createSchema() = 0;
    // Checks that an opened database holds this table's schema: 0 or EINVAL.
    virtual int checkSchema() = 0;
    // Called first by close while the database is still open: what the table still holds for
    // the file is written now. 0 or the error (the close goes on all the same).
    virtual int finishBeforeClose() { return 0; }
    // Finalizes the prepared statements (called before the database closes).
    virtual void finalizeStatements() {}
    int fail(int code, const char* what);  // records a failure, returns code
    int failSqlite(int sqliteCode, const char* what);  // maps and records SQLite's failure
    sqlite3* db_ = nullptr;

private:
    // Opens and checks the database; *hotJournal tells that a read-only open met the journal
    // of a writer that died inside a transaction.
    int openChecked(bool writable, bool* hotJournal);
    int rollBackHotJournal();
    std::string path_;
    int lastError_ = 0;
    std::string lastErrorText_;
};

class JobResultsTable : public TCtreeTable {
public:
    ~JobResultsTable() override;

    // Adds one row at the end. 0 or an error code. Outside a batch each insert is its own
    // transaction.
    int insert(const char* key, const char* line);
    // Groups the following inserts into one transaction until commitBatch (0 or a code);
    // rollbackBatch drops them. Closing with a batch open rolls it back.
    int beginBatch();
    int commitBatch();
    int rollbackBatch();
    bool inBatch() const { return batch_; }
    // Rows kept in this process and written together, so that many rows share one synced
    // transaction and the write lock is held only while they are written, never between calls.
    // queue adds a row; with commit true every queued row then goes into the table in one
    // transaction (commitQueued does that alone). A commit that fails rolls back: the rows
    // queued before stay queued, to be committed again, and the row of a failed queue call is
    // dropped (a call that fails stores nothing of its own). Queued rows are seen by nobody,
    // this connection included, until committed. removeRows commits them together with its
    // removal, so a removed row cannot come back; close commits them, and when that fails they
    // are lost and close says so. Neither works inside a batch (EINVAL).
    int queue(const char* key, const char* line, bool commit);
    int commitQueued();
    void dropQueued();
    size_t queuedRows() const { return queued_.size(); }
    size_t queuedBytes() const { return queuedText_.size(); }
    // Removes every row of the key, queued rows too: the number removed, negative on failure.
    int64_t removeRows(const char* key);
    // Hands each row of the key (every row when key is null) to the callback, in insertion
    // order: the number of rows visited; negative on failure, also when the callback returned
    // non-zero (the row and the table stay as they were). The callback must not change this
    // table: insert, removeRows and search called from it fail with EBUSY.
    int64_t search(const char* key, JobResultsCallback* callback);

protected:
    int createSchema() override;
    int checkSchema() override;
    int finishBeforeClose() override;
    void finalizeStatements() override;

private:
    struct QueuedRow {
        size_t key, line;  // offsets in queuedText_, each text ended by a zero byte
    };
    // One transaction: the queued rows, then the removal of removeKey's rows when given
    // (*removed their number). The queue is emptied only when it commits.
    int writeQueued(const char* removeKey, int64_t* removed, const char* what);
    sqlite3_stmt* prepared(sqlite3_stmt*& slot, const char* sql);
    int usable(const char* what);
    int endBatch(const char* sql, const char* what);
    int failStatement(sqlite3_stmt* statement, int code, const char* what);
    sqlite3_stmt* insert_ = nullptr;
    sqlite3_stmt* remove_ = nullptr;
    sqlite3_stmt* searchAll_ = nullptr;
    sqlite3_stmt* searchKey_ = nullptr;
    bool batch_ = false;
    bool searching_ = false;
    std::vector<QueuedRow> queued_;
    std::string queuedText_;
};
