#include <gtest/gtest.h>

#include "Indexing/icommon/BackupType.h"

TEST(BackupLevel, LevelsMapToTypesAndOtherLevelsLeaveEveryOutputAlone) {
    constexpr int kKeep = -1;  // the output keeps what it held before the call
    const struct {
        int level, result, type, full, synthetic;
    } cases[] = {{1, 0, 1, 1, kKeep},  {0x20000, 0, 1, 1, kKeep}, {2, 0, 2, 0, kKeep},
                 {4, 0, 3, 0, kKeep},  {64, 0, 8, 1, 1},          {128, 0, 8, 1, 1},
                 {8, -1, kKeep, kKeep, kKeep}, {0, -1, kKeep, kKeep, kKeep}, {3, -1, kKeep, kKeep, kKeep}};
    for (const auto& c : cases) {
        for (bool start : {false, true}) {  // both starting values, so "left alone" cannot pass by chance
            BackupType type = static_cast<BackupType>(start ? 77 : 0);
            bool full = start, synthetic = start;
            EXPECT_EQ(TransformKRBkpLevelToBackupType(static_cast<KRBkpLevel>(c.level), type, full, synthetic), c.result);
            EXPECT_EQ(type, c.type == kKeep ? (start ? 77 : 0) : c.type) << c.level;
            EXPECT_EQ(full, c.full == kKeep ? start : c.full == 1) << c.level;
            EXPECT_EQ(synthetic, c.synthetic == kKeep ? start : c.synthetic == 1) << c.level;
        }
    }
    for (int type = 0; type <= 9; ++type)
        EXPECT_EQ(IsFullBackupType(static_cast<BackupType>(type)), type == 1 || type == 8) << type;
}
