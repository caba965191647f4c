#include "Indexing/icommon/BackupType.h"

bool IsFullBackupType(BackupType type) { return type == BACKUP_TYPE_FULL || type == BACKUP_TYPE_SYNTHETIC_FULL; }

int TransformKRBkpLevelToBackupType(KRBkpLevel level, BackupType& type, bool& full, bool& synthetic) {
    switch (level) {
        case KRBKPLEVEL_FULL:
        case KRBKPLEVEL_FULL_EXTENDED:
            type = BACKUP_TYPE_FULL;
            full = true;
            return 0;
        case KRBKPLEVEL_INCREMENTAL:
            type = BACKUP_TYPE_INCREMENTAL;
            full = false;
            return 0;
        case KRBKPLEVEL_DIFFERENTIAL:
            type = BACKUP_TYPE_DIFFERENTIAL;
            full = false;
            return 0;
        case KRBKPLEVEL_SYNTHETIC_FULL:
        case KRBKPLEVEL_SYNTHETIC_FULL_INCREMENTAL:
            type = BACKUP_TYPE_SYNTHETIC_FULL;
            full = true;
            synthetic = true;
            return 0;
    }
    return -1;
}
