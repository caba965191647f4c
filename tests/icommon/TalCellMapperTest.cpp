#include <gtest/gtest.h>

#include "Indexing/icommon/TalCellMapper.h"
#include "tests/support/EventCapture.h"
#include "tests/support/SettingsFixture.h"

// The settings change under the mapper: what it still answers from before shows what it
// cached.
TEST(TalCellMapperTest, TheLastPairAnswersBothDirectionsWithoutAskingAgain) {
    SettingsFixture settings("[Debug]\nIndexDebug=0x8000\n[TalCells]\n6=60\n5=50\n");
    EventCapture capture;
    TalCellMapper mapper;
    EXPECT_EQ(mapper.idToNumber(0) + mapper.numberToId(0), 0u);
    EXPECT_TRUE(capture.debugMessages().empty()) << "zero is answered without the platform";
    EXPECT_EQ(mapper.getTalCellId(), 2u) << "none configured";
    EXPECT_EQ(mapper.idToNumber(5), 50u);

    settings.write("[TalCells]\n6=60\n5=55\n[TalServer]\nTalCellId=9\n");
    EXPECT_EQ(mapper.idToNumber(5), 50u);
    EXPECT_EQ(mapper.numberToId(50), 5u);
    EXPECT_EQ(mapper.getTalCellId(), 2u) << "the own id is read once";
    EXPECT_EQ(mapper.numberToId(60), 6u);
    EXPECT_EQ(mapper.idToNumber(9) + mapper.numberToId(99), 0u);
    settings.write("[TalCells]\n6=61\n5=55\n[TalServer]\nTalCellId=9\n");
    EXPECT_EQ(mapper.idToNumber(6), 60u) << "unknown values leave the cached pair as it was";
    EXPECT_EQ(mapper.idToNumber(5), 55u) << "another id is asked for";
    EXPECT_EQ(TalCellMapper().getTalCellId(), 9u);
}
