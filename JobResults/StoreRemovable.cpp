// Removable storing (the job results table) and the age cleanup of results directories.
//
// Rows are committed in groups, as the direct writer's lines are written out when its buffer
// is full, when the caller asks and at the close: each commit is one short transaction,
// synced, so a few thousand rows share the cost of one sync. Rows wait in this process, not in
// an open transaction, so the table's write lock is never held between calls and another
// writer of the job waits at most for one commit. A process that dies loses only the rows that
// were still waiting; the table keeps every committed row. There is no timer: a row waits at
// most until the next call after kCommitAfterMs, or until the flush, close or destruction.
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "Indexing/icommon/SafeFileOps.h"
#include "Indexing/idxport/FsPrimitives.h"
#include "JobResults/StoreResults.h"
#include "Platform/JobResultsTable.h"
#include "Platform/KRClient.h"
#include "Platform/KRPI_Focus.h"

namespace {
int64_t steadyMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
}  // namespace

bool StoreResults::openRemovable(ResultsFile kind) {
    uint32_t now = 0;
    if (openShared("openRemovable", kind, now)) return true;
    // The results file made from an earlier table holds lines that are not in a new one.
    if (refuseAfterGeneration("openRemovable")) return true;
    safeUnlink(mapName_);
    if (!jrTable_) {
        debug(1, "openRemovable: no table\n");
        return true;
    }
    // Only a table that is not there at all is made anew. One that cannot be opened now (busy
    // past the timeout, damaged, not readable) holds rows that are not lost for that: the
    // call fails and the file stays as it is.
    int code = jrTable_->lookUp();
    if (code == ENOENT) {
        code = jrTable_->create();
        // A writer that started at the same moment linked its table in first: that one is used.
        if (code == EEXIST) code = jrTable_->lookUp();
        if (code != 0) {
            debug(1, "openRemovable: table create failed, code %d: %s", code, jrTable_->lastErrorText().c_str());
            return true;
        }
    } else if (code != 0) {
        debug(1, "openRemovable: table %s cannot be opened, code %d: %s; left as it is", jrTable_->path().c_str(),
              code, jrTable_->lastErrorText().c_str());
        return true;
    }
    if (!jrTable_->isOpen() && (code = jrTable_->open(true)) != 0) {
        debug(1, "openRemovable: table open failed, code %d: %s", code, jrTable_->lastErrorText().c_str());
        return true;
    }
    return false;
}

bool StoreResults::putRemovableLine(const char* key, const char* line) {
    if (!jrTable_) {
        debug(1, "putRemovableLine: no table\n");
        return true;
    }
    const size_t waiting = jrTable_->queuedRows();
    const int64_t now = steadyMilliseconds();
    if (waiting == 0) rowsWaitingSince_ = now;
    const bool due = waiting + 1 >= kRowsPerCommit || jrTable_->queuedBytes() >= kBytesPerCommit ||
                     now - rowsWaitingSince_ >= kCommitAfterMs;
    if (const int code = jrTable_->queue(key, line, due); code != 0) {
        debug(1, "putRemovableLine: row not stored, code %d: %s; %zu rows before it wait for the next commit\n", code,
              jrTable_->lastErrorText().c_str(), jrTable_->queuedRows());
        return true;
    }
    return false;
}

bool StoreResults::commitRows(const char* op) {
    if (!jrTable_ || jrTable_->queuedRows() == 0) return false;
    if (const int code = jrTable_->commitQueued(); code != 0) {
        debug(1, "%s: %zu rows not committed, code %d: %s\n", op, jrTable_->queuedRows(), code,
              jrTable_->lastErrorText().c_str());
        return true;
    }
    return false;
}

bool StoreResults::flushRemovable() {
    if (!jrTable_) {
        debug(1, "flushRemovable: no table\n");
        return true;
    }
    return commitRows("flushRemovable");
}

bool StoreResults::closeRemovable() {
    if (flushRemovable()) return true;
    const int code = jrTable_->close();
    stateLockFile_.close();
    if (code == 0) return false;
    debug(1, "closeRemovable: table close failed, code %d: %s\n", code, jrTable_->lastErrorText().c_str());
    return true;
}

void StoreResults::finishRemovable() {
    if (!jrTable_ || !commitRows("~StoreResults")) return;
    debug(1, "~StoreResults: %zu removable rows are lost\n", jrTable_->queuedRows());
    jrTable_->dropQueued();
}

bool StoreResults::remove(const char* key) { return removeRows(key) < 0; }

int64_t StoreResults::removeRows(const char* key) {
    if (!jrTable_) {
        debug(1, "removeRows: no table\n");
        return -1;
    }
    const int64_t removed = jrTable_->removeRows(key);
    if (removed < 0) debug(1, "removeRows: failed for key '%s': %s\n", key, jrTable_->lastErrorText().c_str());
    return removed;
}

int StoreResults::cleanUp(const char* clientName) {
    int diskFull = 90;
    int cacheAging = 7;
    const char* client = clientName;
    if (client == nullptr || *client == '\0') client = getClientName();
    if (client == nullptr || *client == '\0') client = KRPI_Focus::getFocusClientName(true);
    if (client == nullptr) client = "";
    KRClient krClient(client, false);
    if (krClient.lookup() != 0) {
        debug(1, "cleanUp: cannot look client '%s'\n", client);
        return 1;
    }
    KRClientProperties* properties = krClient.getClientProperties();
    if (properties == nullptr) {
        debug(1, "cleanUp: getClientProperties failed for client '%s'\n", client);
        return 1;
    }
    if (properties->getDiskFullThreshold(&diskFull, 0) != 0) {
        debug(1, "cleanUp: getDiskFullThreshold failed for client '%s'\n", client);
        return 1;
    }
    if (properties->getCacheAgingThreshold(&cacheAging, 0) != 0) {
        debug(1, "cleanUp: getCacheAgingThreshold failed for client '%s'\n", client);
        return 1;
    }
    if (resultsDir_.setDiskFree(static_cast<unsigned int>(100 - diskFull)) < 0) {
        debug(1, "cleanUp: invalid disk full threshold %d\n", diskFull);
        return 1;
    }
    if (cacheAging <= 0) {
        debug(1, "cleanUp: invalid cache aging threshold %d\n", cacheAging);
        return 1;
    }
    resultsDir_.setNumDays(static_cast<unsigned int>(cacheAging));
    return resultsDir_.cleanUp();
}
