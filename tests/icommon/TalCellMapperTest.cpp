#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Indexing/icommon/TalCellMapper.h"
#include "tests/support/EventCapture.h"
#include "tests/support/SettingsFixture.h"

namespace {
using Lines = std::vector<std::string>;
const std::string kHead = "[Debug]\nIndexDebug=0x8000\n[TalCells]\n6=60\n";
}  // namespace

TEST(TalCellMapperTest, TheLastPairAnswersBothDirectionsWithoutAskingAgain) {
    SettingsFixture settings(kHead + "5=50\n");
    EventCapture capture;
    auto lines = [&] {
        Lines out = capture.debugMessages();
        capture.clear();
        return out;
    };
    TalCellMapper mapper;
    EXPECT_EQ(mapper.idToNumber(0) + mapper.numberToId(0), 0u);
    EXPECT_EQ(lines(), Lines{}) << "zero is answered without the platform";
    EXPECT_EQ(mapper.getTalCellId(), 2u);
    EXPECT_EQ(mapper.idToNumber(5), 50u);
    EXPECT_EQ(lines(), (Lines{"TALCELLMAPPER: getTalCellId returned 0, defaulting to 2",
                              "TALCELLMAPPER: TalCell id = 2", "TALCELLMAPPER: id 5 maps to number 50"}));

    // The platform would now answer differently: the cached pair shows it is not asked.
    settings.write(kHead + "5=55\n[TalServer]\nTalCellId=9\n");
    EXPECT_EQ(mapper.idToNumber(5), 50u);
    EXPECT_EQ(mapper.numberToId(50), 5u);
    EXPECT_EQ(mapper.getTalCellId(), 2u) << "the own id is read once";
    EXPECT_EQ(mapper.numberToId(60), 6u);
    // Unknown values leave the cached pair as it was.
    EXPECT_EQ(mapper.idToNumber(9) + mapper.numberToId(99), 0u);
    EXPECT_EQ(mapper.idToNumber(6), 60u);
    EXPECT_EQ(lines(), (Lines{"TALCELLMAPPER: lastId 5 maps to lastNumber 50",
                              "TALCELLMAPPER: lastNumber 50 maps to lastId 5", "TALCELLMAPPER: number 60 maps to id 6",
                              "TALCELLMAPPER: TalCell id 9 has no corresponding TalCell number",
                              "TALCELLMAPPER: TalCell number 99 has no corresponding TalCell id",
                              "TALCELLMAPPER: lastId 6 maps to lastNumber 60"}));
    EXPECT_EQ(mapper.idToNumber(5), 55u) << "another id is asked for";
    EXPECT_EQ(TalCellMapper().getTalCellId(), 9u);
}
