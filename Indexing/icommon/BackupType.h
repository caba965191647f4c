// Backup levels as the job-control service names them, the library's own backup types, and the
// mapping between the two. Both travel as plain numbers: a value outside the named ones is
// passed through unchanged (see TransformKRBkpLevelToBackupType).
#pragma once

// The kind of backup a cache directory belongs to.
enum BackupType : int {
    BACKUP_TYPE_FULL = 1,
    BACKUP_TYPE_INCREMENTAL = 2,
    BACKUP_TYPE_DIFFERENTIAL = 3,
    // A full backup assembled from earlier backups (levels 64 and 128).
    BACKUP_TYPE_SYNTHETIC_FULL = 8,
};

// The backup level a job is started with.
enum KRBkpLevel : int {
    KRBKPLEVEL_FULL = 1,
    KRBKPLEVEL_INCREMENTAL = 2,
    KRBKPLEVEL_DIFFERENTIAL = 4,
    KRBKPLEVEL_SYNTHETIC_FULL = 64,
    KRBKPLEVEL_SYNTHETIC_FULL_INCREMENTAL = 128,
    KRBKPLEVEL_FULL_EXTENDED = 0x20000,
};

// True for the full types only: BACKUP_TYPE_FULL and BACKUP_TYPE_SYNTHETIC_FULL.
bool IsFullBackupType(BackupType type);

// Maps a backup level to its type:
//   1 and 0x20000 -> type 1, full true;  2 -> type 2, full false;  4 -> type 3, full false;
//   64 and 128    -> type 8, full true, synthetic true.
// synthetic is written for 64 and 128 only; it keeps its value for the other levels.
// 0 on success; -1 for any other level, with type, full and synthetic left as they were.
int TransformKRBkpLevelToBackupType(KRBkpLevel level, BackupType& type, bool& full, bool& synthetic);
