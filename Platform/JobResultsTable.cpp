// The job results table on SQLite. One connection per open table, one thread at a time.
//
// The file holds one table, job_results (sequence INTEGER PRIMARY KEY, line TEXT, key TEXT),
// with an index on key, and carries kApplicationId and kSchemaVersion in its header: a file
// without them is not a job results table. Rows get ever larger sequence numbers (the rowid
// of a new row is above every row present), so "ORDER BY sequence" is the insertion order.
//
// A new table is made whole under a temporary name and linked into place, so that nobody
// ever sees a half-made table, and create fails with EEXIST rather than take over a file that
// appeared meanwhile. Files are created with mode 0666 less the umask, like the other files of
// a results directory; SQLite gives the journal the database file's mode.
#include "Platform/JobResultsTable.h"

#include "Platform/AtomicRewrite.h"
#include "Platform/TempNames.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace {
constexpr int kApplicationId = 0x564E4A52;  // "VNJR"
constexpr int kSchemaVersion = 1;

constexpr const char* kSchema =
    "CREATE TABLE job_results (sequence INTEGER PRIMARY KEY, line TEXT NOT NULL, "
    "key TEXT NOT NULL);"
    "CREATE INDEX job_results_key ON job_results (key);";
constexpr const char* kInsert = "INSERT INTO job_results (line, key) VALUES (?1, ?2)";
constexpr const char* kRemove = "DELETE FROM job_results WHERE key = ?1";
constexpr const char* kSearchAll = "SELECT sequence, line, key FROM job_results ORDER BY sequence";
constexpr const char* kSearchKey =
    "SELECT sequence, line, key FROM job_results WHERE key = ?1 ORDER BY sequence";

// SQLite's result codes as the error numbers of this library.
int errnoOfSqlite(sqlite3* db, int code) {
    const int extended = db != nullptr ? sqlite3_extended_errcode(db) : code;
    if (extended == SQLITE_CANTOPEN_SYMLINK) return ELOOP;
    // SQLite refuses to write to a database file that is no longer at its path: a reader made
    // the results file out of it and removed it. Rows written there would be lost.
    if (extended == SQLITE_READONLY_DBMOVED) return ESTALE;
    switch (code & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return EBUSY;
    case SQLITE_NOMEM: return ENOMEM;
    case SQLITE_READONLY: return EBADF;
    case SQLITE_FULL: return ENOSPC;
    case SQLITE_PERM:
    case SQLITE_AUTH: return EACCES;
    case SQLITE_NOTADB:
    case SQLITE_FORMAT:
    case SQLITE_SCHEMA:
    case SQLITE_CONSTRAINT:
    case SQLITE_MISMATCH:
    case SQLITE_TOOBIG:
    case SQLITE_RANGE:
    case SQLITE_MISUSE: return EINVAL;
    case SQLITE_NOLFS: return ENOTSUP;
    case SQLITE_CANTOPEN:
    case SQLITE_IOERR: {
        const int system = db != nullptr ? sqlite3_system_errno(db) : 0;
        return system != 0 ? system : EIO;
    }
    default: return EIO;
    }
}

// The integer a pragma answers, or -1 with *code set.
int64_t pragmaValue(sqlite3* db, const char* sql, int* code) {
    sqlite3_stmt* statement = nullptr;
    int64_t value = -1;
    *code = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
    if (*code == SQLITE_OK) {
        *code = sqlite3_step(statement);
        if (*code == SQLITE_ROW) {
            value = sqlite3_column_int64(statement, 0);
            *code = SQLITE_OK;
        }
    }
    sqlite3_finalize(statement);
    return value;
}

int busyTimeoutMs = TCtreeTable::kBusyTimeoutMs;

// 0 when an entry is at path, else the error of the look-up: ENOENT (ENOTDIR too) only when
// nothing is there; a look-up that fails otherwise (EACCES, EIO) is no absence.
int entryAt(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0) return 0;
    return errno == ENOTDIR ? ENOENT : errno;
}

bool pathExists(const std::string& path) { return entryAt(path) == 0; }
}  // namespace

TCtreeTable::~TCtreeTable() { close(); }

int TCtreeTable::initialize(const char* path) {
    if (path == nullptr || *path == '\0') return fail(EINVAL, "initialize: no path");
    close();
    path_ = path;
    lastError_ = 0;
    lastErrorText_.clear();
    return 0;
}

int TCtreeTable::fail(int code, const char* what) {
    lastError_ = code;
    lastErrorText_ = std::string(what) + ": " + std::strerror(code);
    return code;
}

int TCtreeTable::failSqlite(int sqliteCode, const char* what) {
    lastError_ = errnoOfSqlite(db_, sqliteCode);
    const char* message = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(sqliteCode);
    lastErrorText_ = std::string(what) + ": " + message;
    return lastError_;
}

bool TCtreeTable::tableExists() { return lookUp() == 0; }

int TCtreeTable::lookUp() {
    if (path_.empty()) return fail(EINVAL, "lookUp: not initialized");
    if (isOpen()) return pathExists(path_) ? 0 : fail(ENOENT, "lookUp: the file is gone");
    const int result = open(false);
    close();
    return result;
}

void TCtreeTable::setBusyTimeoutForTests(int milliseconds) {
    busyTimeoutMs = milliseconds > 0 ? milliseconds : kBusyTimeoutMs;
}

// Makes the table under a temporary name, then links it into place (never over another file).
int TCtreeTable::create() {
    if (path_.empty()) return fail(EINVAL, "create: not initialized");
    close();
    if (const int found = entryAt(path_); found != ENOENT)
        return found == 0 ? fail(EEXIST, "create: the file exists") : fail(found, "create: cannot look up the table");
    // A name of this process alone (host, pid and a random part), made here and removed here;
    // those of creates that died go first.
    removeDeadTemporaries(path_, "new");
    const std::string temporary = TempNames::make(path_, "new");
    const int fd = ::open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return fail(errno, "create: cannot create the database file");
    ::close(fd);
    int code = sqlite3_open_v2(temporary.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW,
                               nullptr);
    int result = 0;
    if (code != SQLITE_OK) {
        result = failSqlite(code, "create: cannot open the new database");
    } else if ((code = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr)) != SQLITE_OK) {
        result = failSqlite(code, "create: cannot begin");
    } else if ((result = createSchema()) != 0 ||
               (code = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr)) != SQLITE_OK) {
        if (result == 0) result = failSqlite(code, "create: cannot commit the schema");
    }
    close();
    if (result == 0 && link(temporary.c_str(), path_.c_str()) != 0)
        result = fail(errno, errno == EEXIST ? "create: the file exists" : "create: cannot put the table in place");
    unlink(temporary.c_str());
    const std::string journal = temporary + "-journal";
    unlink(journal.c_str());
    if (result != 0) return result;
    return open(true);
}

int TCtreeTable::open(bool writable) {
    if (path_.empty()) return fail(EINVAL, "open: not initialized");
    close();
    if (const int found = entryAt(path_); found != 0)
        return fail(found, found == ENOENT ? "open: no table" : "open: cannot look up the table");
    bool hotJournal = false;
    int result = openChecked(writable, &hotJournal);
    if (hotJournal && (result = rollBackHotJournal()) == 0) result = openChecked(writable, &hotJournal);
    return result;
}

int TCtreeTable::openChecked(bool writable, bool* hotJournal) {
    const int flags = (writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_NOFOLLOW;
    int code = sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr);
    int result = 0;
    if (code != SQLITE_OK) {
        result = failSqlite(code, "open: cannot open the database");
    } else {
        sqlite3_extended_result_codes(db_, 1);
        sqlite3_busy_timeout(db_, busyTimeoutMs);
        result = checkSchema();
        *hotJournal = result != 0 && sqlite3_extended_errcode(db_) == SQLITE_READONLY_ROLLBACK;
    }
    if (result == 0) {
        code = sqlite3_exec(db_, "PRAGMA synchronous = FULL", nullptr, nullptr, nullptr);
        if (code != SQLITE_OK) result = failSqlite(code, "open: cannot set synchronous writes");
    }
    if (result != 0) close();
    return result;
}

// A writer died inside a transaction: its journal must be played back before anyone may
// read, and only a writable connection can do that. Its first read does it.
int TCtreeTable::rollBackHotJournal() {
    sqlite3* recovery = nullptr;
    int code = sqlite3_open_v2(path_.c_str(), &recovery, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr);
    if (code == SQLITE_OK) {
        sqlite3_busy_timeout(recovery, busyTimeoutMs);
        code = sqlite3_exec(recovery, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    }
    const int error = code == SQLITE_OK ? 0 : errnoOfSqlite(recovery, code);
    sqlite3_close_v2(recovery);
    if (error == 0) return 0;
    lastError_ = error;
    lastErrorText_ = std::string("open: cannot roll back a dead writer's transaction: ") + sqlite3_errstr(code);
    return lastError_;
}

int TCtreeTable::close() {
    if (db_ == nullptr) return 0;
    const int finished = finishBeforeClose();
    finalizeStatements();
    const int code = sqlite3_close_v2(db_);  // rolls back an open transaction
    db_ = nullptr;
    if (finished != 0) return finished;
    return code == SQLITE_OK ? 0 : failSqlite(code, "close");
}

int TCtreeTable::removeTable() {
    if (path_.empty()) return fail(EINVAL, "removeTable: not initialized");
    close();
    // The database first: a journal left without its database is stale, and SQLite drops it
    // when a new database of the same name is made.
    if (unlink(path_.c_str()) != 0 && errno != ENOENT) return fail(errno, "removeTable: cannot remove the table");
    const std::string journal = path_ + "-journal";
    if (unlink(journal.c_str()) != 0 && errno != ENOENT) return fail(errno, "removeTable: cannot remove the journal");
    return 0;
}

JobResultsTable::~JobResultsTable() { close(); }

int JobResultsTable::createSchema() {
    const std::string sql = std::string(kSchema) + "PRAGMA application_id = " + std::to_string(kApplicationId) +
                            "; PRAGMA user_version = " + std::to_string(kSchemaVersion) + ";";
    const int code = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
    return code == SQLITE_OK ? 0 : failSqlite(code, "create: cannot make the table");
}

// Reading the header also proves the file is a database at all, and takes the journal mode:
// the rollback journal is the one that is safe on network file systems (WAL needs shared
// memory between the processes).
int JobResultsTable::checkSchema() {
    int code = SQLITE_OK;
    const int64_t applicationId = pragmaValue(db_, "PRAGMA application_id", &code);
    if (code != SQLITE_OK) return failSqlite(code, "open: cannot read the database header");
    const int64_t version = pragmaValue(db_, "PRAGMA user_version", &code);
    if (code != SQLITE_OK) return failSqlite(code, "open: cannot read the database header");
    if (applicationId != kApplicationId || version != kSchemaVersion)
        return fail(EINVAL, "open: not a job results table");
    if (prepared(searchAll_, kSearchAll) == nullptr) return fail(EINVAL, "open: not a job results table");
    sqlite3_stmt* mode = nullptr;
    code = sqlite3_prepare_v2(db_, "PRAGMA journal_mode = DELETE", -1, &mode, nullptr);
    const bool rollbackJournal = code == SQLITE_OK && sqlite3_step(mode) == SQLITE_ROW &&
                                 sqlite3_strnicmp(reinterpret_cast<const char*>(sqlite3_column_text(mode, 0)),
                                                  "delete", 7) == 0;
    sqlite3_finalize(mode);
    return rollbackJournal ? 0 : fail(EINVAL, "open: the table does not use a rollback journal");
}

sqlite3_stmt* JobResultsTable::prepared(sqlite3_stmt*& slot, const char* sql) {
    if (slot == nullptr) {
        const int code = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &slot, nullptr);
        if (code != SQLITE_OK) {
            failSqlite(code, "prepare");
            slot = nullptr;
        }
    }
    return slot;
}

void JobResultsTable::finalizeStatements() {
    for (sqlite3_stmt** slot : {&insert_, &remove_, &searchAll_, &searchKey_}) {
        sqlite3_finalize(*slot);
        *slot = nullptr;
    }
    batch_ = false;
    searching_ = false;
}

// A failed statement inside a batch may have made SQLite roll the whole batch back.
int JobResultsTable::failStatement(sqlite3_stmt* statement, int code, const char* what) {
    sqlite3_reset(statement);
    if (!batch_ || !sqlite3_get_autocommit(db_)) return failSqlite(code, what);
    batch_ = false;
    return failSqlite(code, (std::string(what) + " (the batch was rolled back)").c_str());
}

int JobResultsTable::usable(const char* what) {
    if (db_ == nullptr) return fail(EBADF, what);
    if (searching_) return fail(EBUSY, what);  // a callback may not change the table it visits
    return 0;
}

int JobResultsTable::insert(const char* key, const char* line) {
    if (int refused = usable("insert")) return refused;
    if (key == nullptr || line == nullptr) return fail(EINVAL, "insert: no key or line");
    sqlite3_stmt* statement = prepared(insert_, kInsert);
    if (statement == nullptr) return lastError();
    sqlite3_bind_text(statement, 1, line, -1, SQLITE_STATIC);
    sqlite3_bind_text(statement, 2, key, -1, SQLITE_STATIC);
    const int code = sqlite3_step(statement);
    if (code != SQLITE_DONE) return failStatement(statement, code, "insert");
    sqlite3_reset(statement);
    return 0;
}

int JobResultsTable::beginBatch() {
    if (int refused = usable("beginBatch")) return refused;
    if (batch_) return fail(EINVAL, "beginBatch: a batch is open");
    if (!queued_.empty()) return fail(EINVAL, "beginBatch: rows are queued");
    // IMMEDIATE takes the write lock now, waiting with the busy timeout, rather than at a later
    // insert where a competing writer could leave this one no way but to fail.
    const int code = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (code != SQLITE_OK) return failSqlite(code, "beginBatch");
    batch_ = true;
    return 0;
}

int JobResultsTable::commitBatch() { return endBatch("COMMIT", "commitBatch"); }

int JobResultsTable::rollbackBatch() { return endBatch("ROLLBACK", "rollbackBatch"); }

// A commit that fails (readers still there after the busy timeout) leaves the batch open:
// the caller may commit again or roll back.
int JobResultsTable::endBatch(const char* sql, const char* what) {
    if (int refused = usable(what)) return refused;
    if (!batch_) return fail(EINVAL, what);
    const int code = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    if (sqlite3_get_autocommit(db_)) batch_ = false;
    return code == SQLITE_OK ? 0 : failSqlite(code, what);
}

int JobResultsTable::queue(const char* key, const char* line, bool commit) {
    if (int refused = usable("queue")) return refused;
    if (key == nullptr || line == nullptr) return fail(EINVAL, "queue: no key or line");
    if (batch_) return fail(EINVAL, "queue: a batch is open");
    const size_t keyAt = queuedText_.size();
    try {
        queuedText_.append(key).push_back('\0');
        const size_t lineAt = queuedText_.size();
        queuedText_.append(line).push_back('\0');
        queued_.push_back({keyAt, lineAt});
    } catch (const std::bad_alloc&) {
        queuedText_.resize(keyAt);
        return fail(ENOMEM, "queue: no memory for the row");
    }
    const int code = commit ? writeQueued(nullptr, nullptr, "commit") : 0;
    if (code != 0) {
        queued_.pop_back();
        queuedText_.resize(keyAt);
    }
    return code;
}

int JobResultsTable::commitQueued() {
    if (int refused = usable("commit")) return refused;
    return queued_.empty() ? 0 : writeQueued(nullptr, nullptr, "commit");
}

void JobResultsTable::dropQueued() {
    queued_.clear();
    queuedText_.clear();
}

int JobResultsTable::finishBeforeClose() {
    if (queued_.empty() || searching_) return 0;
    const int code = writeQueued(nullptr, nullptr, "close (the queued rows are lost)");
    dropQueued();
    return code;
}

// BEGIN IMMEDIATE takes the write lock before the first row, waiting with the busy timeout for
// a writer of another process; it is released at the COMMIT (or the ROLLBACK of a failure).
int JobResultsTable::writeQueued(const char* removeKey, int64_t* removed, const char* what) {
    if (batch_) return fail(EINVAL, (std::string(what) + ": a batch is open").c_str());
    int code = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (code != SQLITE_OK) return failSqlite(code, what);
    sqlite3_stmt* insert = queued_.empty() ? nullptr : prepared(insert_, kInsert);
    sqlite3_stmt* remove = removeKey == nullptr ? nullptr : prepared(remove_, kRemove);
    const bool unprepared = (!queued_.empty() && insert == nullptr) || (removeKey != nullptr && remove == nullptr);
    int result = unprepared ? lastError() : 0;
    for (size_t i = 0; result == 0 && i < queued_.size(); ++i) {
        sqlite3_bind_text(insert, 1, queuedText_.data() + queued_[i].line, -1, SQLITE_STATIC);
        sqlite3_bind_text(insert, 2, queuedText_.data() + queued_[i].key, -1, SQLITE_STATIC);
        code = sqlite3_step(insert);
        if (code != SQLITE_DONE) result = failSqlite(code, what);
        sqlite3_reset(insert);
    }
    if (result == 0 && remove != nullptr) {
        sqlite3_bind_text(remove, 1, removeKey, -1, SQLITE_STATIC);
        code = sqlite3_step(remove);
        if (code != SQLITE_DONE) result = failSqlite(code, what);
        else *removed = sqlite3_changes64(db_);
        sqlite3_reset(remove);
    }
    if (result == 0 && (code = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr)) != SQLITE_OK)
        result = failSqlite(code, what);
    if (result != 0) {
        // A COMMIT that failed (readers still there after the busy timeout) leaves the
        // transaction open; other failures may have ended it already.
        if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return result;
    }
    dropQueued();
    return 0;
}

int64_t JobResultsTable::removeRows(const char* key) {
    if (int refused = usable("removeRows")) return -refused;
    if (key == nullptr) return -fail(EINVAL, "removeRows: no key");
    if (!queued_.empty()) {
        int64_t removed = 0;
        const int code = writeQueued(key, &removed, "removeRows");
        return code == 0 ? removed : -code;
    }
    sqlite3_stmt* statement = prepared(remove_, kRemove);
    if (statement == nullptr) return -lastError();
    sqlite3_bind_text(statement, 1, key, -1, SQLITE_STATIC);
    const int code = sqlite3_step(statement);
    if (code != SQLITE_DONE) return -failStatement(statement, code, "removeRows");
    sqlite3_reset(statement);
    return sqlite3_changes64(db_);
}

int64_t JobResultsTable::search(const char* key, JobResultsCallback* callback) {
    if (int refused = usable("search")) return -refused;
    if (callback == nullptr) return -fail(EINVAL, "search: no callback");
    sqlite3_stmt* statement = key == nullptr ? prepared(searchAll_, kSearchAll) : prepared(searchKey_, kSearchKey);
    if (statement == nullptr) return -lastError();
    if (key != nullptr) sqlite3_bind_text(statement, 1, key, -1, SQLITE_STATIC);
    searching_ = true;
    int64_t visited = 0;
    JobResultsRecord record;
    int code;
    while ((code = sqlite3_step(statement)) == SQLITE_ROW) {
        record.sequence = sqlite3_column_int64(statement, 0);
        record.line.assign(reinterpret_cast<const char*>(sqlite3_column_text(statement, 1)),
                           static_cast<size_t>(sqlite3_column_bytes(statement, 1)));
        record.key.assign(reinterpret_cast<const char*>(sqlite3_column_text(statement, 2)),
                          static_cast<size_t>(sqlite3_column_bytes(statement, 2)));
        if (callback->function(this, &record) != 0) {
            searching_ = false;
            sqlite3_reset(statement);
            return -fail(ECANCELED, "search: the callback failed");
        }
        ++visited;
    }
    searching_ = false;
    if (code != SQLITE_DONE) return -failStatement(statement, code, "search");
    sqlite3_reset(statement);
    return visited;
}
