// DC distribution answers decoded into the record, checked at absolute record offsets.
#include <gtest/gtest.h>

#include "acq_test_util.h"

namespace {
using namespace acq;

// 53.5 V, 12.5 A, m = n = p = 0.
const char* kPanel = "00005642 00004841 00 00 00";

TEST(Parse42_41, PanelWithEmptyLists) {
  TestDevice dev;
  const Decoded d = decode(dev, &korvantis_419::parse42_41, H(kPanel));
  EXPECT_EQ(d.result, 11);
  EXPECT_EQ(d.out, "parse42_41 53.500000 12.500000\n");
  EXPECT_EQ(at(dev, 534, 11), "0000564200004841000000");
}

TEST(Parse42_41, CurrentFactor) {
  struct Row {
    int factor;
    const char* current;
    const char* line;
  } rows[] = {{2, "0000c841", "parse42_41 53.500000 25.000000\n"},
              {-1, "000048c1", "parse42_41 53.500000 -12.500000\n"}};
  for (const Row& row : rows) {
    TestDevice dev;
    dev.dc_i_adjust_ = row.factor;
    EXPECT_EQ(decode(dev, &korvantis_419::parse42_41, H(kPanel)).out, row.line);
    EXPECT_EQ(at(dev, 538), row.current);
    EXPECT_EQ(decode(dev, &korvantis_419::parse42_41_2, H(kPanel)).out, row.line);
    EXPECT_EQ(at(dev, 570), row.current);
  }
}

TEST(Parse42_41, ListsBeyondCapacity) {
  TestDevice dev;
  EXPECT_EQ(
      decode(dev, &korvantis_419::parse42_41, H("00005642 00004841 02 11111111 22222222 00 00"))
          .result,
      19);
  EXPECT_EQ(at(dev, 542, 3), "020000");

  // A p list too long for the record: the whole block counts as consumed, so the second
  // panel's decoder is left nothing and changes nothing.
  fill_record(dev, 0xEE);
  const auto block = H("00005642 00004841 00 00 01 ffffffff" + std::string(kPanel) + "00000000");
  ASSERT_EQ(block.size(), 30u);
  EXPECT_EQ(decode(dev, &korvantis_419::parse42_41, block).result, 30);
  EXPECT_EQ(at(dev, 544, 1), "01");
  const auto before = record_of(dev);
  EXPECT_EQ(decode(dev, &korvantis_419::parse42_41_2, {}).result, -1);
  EXPECT_EQ(record_of(dev), before);
}

TEST(Parse42_44, AlarmBlocks) {
  TestDevice dev;
  fill_record(dev, 0xEE);
  EXPECT_EQ(decode(dev, &korvantis_419::parse42_44, H("05 03 010101 00")).result, 6);
  EXPECT_EQ(at(dev, 545, 3), "050300");  // alarm, fuse count, extra count; no fuse state kept
  EXPECT_EQ(at(dev, 548, 7), "eeeeeeeeeeeeee");
}

TEST(Parse42_44, SecondPanelAndShortBlock) {
  TestDevice dev;
  EXPECT_EQ(decode(dev, &korvantis_419::parse42_44_2, H("07 00 02 aabb")).result, 5);
  EXPECT_EQ(at(dev, 577, 3), "070002");
  EXPECT_EQ(decode(dev, &korvantis_419::parse42_44_2, H("08 02 aa")).result, -1);
  EXPECT_EQ(at(dev, 577, 3), "080202");
  EXPECT_EQ(decode(dev, &korvantis_419::parse42_44, {}).result, -1);
}

}  // namespace
