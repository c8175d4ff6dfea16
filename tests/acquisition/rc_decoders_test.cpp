// Rectifier answers decoded into the record, checked at absolute record offsets.
#include <gtest/gtest.h>

#include "acq_test_util.h"

namespace {
using namespace acq;

// Flag, rc_voltage 54.0, two modules of 10.0 A and 20.0 A without extras.
const char* kTwoModules = "00 00005842 02 00002041 00 0000a041 00";

TEST(Parse41_41, ModulesWithPaddingAndExtras) {
  struct Row {
    int skip;
    bool tower;
    std::string answer;
    int size;
    const char* first_extra_count;
  } rows[] = {
      {0, false, kTwoModules, 16, "00"},
      {2, false, "00 00005842 02 00002041 00 aaaa 0000a041 00 bbbb", 20, "00"},
      {0, true, "00 00005842 02 00002041 01 ffffffff 00 0000a041 00 00", 22, "00"},
      {0, false, "00 00005842 02 00002041 01 ffffffff 0000a041 00", 20, "01"},  // stepped over
  };
  for (const Row& row : rows) {
    TestDevice dev;
    dev.skip_41_41_ = row.skip;
    dev.has_tower_ = row.tower;
    const Decoded d = decode(dev, &korvantis_419::parse41_41, H(row.answer));
    EXPECT_EQ(d.result, row.size) << row.answer;
    EXPECT_EQ(d.out, "parse 41_41 channel is 2\n");
    EXPECT_EQ(at(dev, 85, 5), "0000584202");
    EXPECT_EQ(at(dev, 90), "00002041");
    EXPECT_EQ(at(dev, 101), "0000a041");
    EXPECT_EQ(at(dev, 94, 1), row.first_extra_count);
  }
}

TEST(Parse41_41, NegativePaddingSkipsNothing) {
  TestDevice dev;
  dev.skip_41_41_ = -5;
  EXPECT_EQ(decode(dev, &korvantis_419::parse41_41, H(kTwoModules)).result, 16);
  EXPECT_EQ(at(dev, 101), "0000a041");
}

TEST(Parse41_41, SurplusModulesKeepThePositionAndAreDropped) {
  TestDevice dev;
  fill_record(dev, 0xEE);
  std::string answer = "00 00005842 29";  // 41 modules
  for (int i = 0; i < 41; ++i) answer += "00002041 00";
  EXPECT_EQ(decode(dev, &korvantis_419::parse41_41, H(answer)).result, 6 + 41 * 5);
  EXPECT_EQ(at(dev, 89, 1), "29");
  EXPECT_EQ(at(dev, 519, 5), "0000204100");           // the fortieth module
  EXPECT_EQ(at(dev, 530, 25), std::string(50, 'e'));  // the DC panel behind it is untouched

  // The state answer walks the same 41 blocks.
  std::string states = "00 29";
  for (int i = 0; i < 41; ++i) states += "010203 00";
  EXPECT_EQ(decode(dev, &korvantis_419::parse41_43, H(states)).result, 2 + 41 * 4);
  EXPECT_EQ(at(dev, 519 + 5, 4), "01020300");
  EXPECT_EQ(at(dev, 530, 25), std::string(50, 'e'));
}

TEST(Parse41_43_44, BlocksFollowTheLastAnalogCount) {
  TestDevice dev;
  decode(dev, &korvantis_419::parse41_41, H(kTwoModules));
  // The states answer says 5 modules; the analog answer's 2 count.
  EXPECT_EQ(decode(dev, &korvantis_419::parse41_43, H("00 05 010203 00 040506 00")).result, 10);
  EXPECT_EQ(at(dev, 95, 4), "01020300");
  EXPECT_EQ(at(dev, 106, 4), "04050600");
  EXPECT_EQ(decode(dev, &korvantis_419::parse41_44, H("00 02 07 00 08 00")).result, 6);
  EXPECT_EQ(at(dev, 99, 2), "0700");
  EXPECT_EQ(at(dev, 110, 2), "0800");

  dev.has_tower_ = true;
  EXPECT_EQ(
      decode(dev, &korvantis_419::parse41_43, H("00 02 0a0b0c 01ff 00 0d0e0f 00 02aabb")).result,
      15);
  EXPECT_EQ(at(dev, 106, 3), "0d0e0f");
  EXPECT_EQ(decode(dev, &korvantis_419::parse41_44, H("00 02 09 00 00 0a 00 02")).result, -1);
  EXPECT_EQ(at(dev, 110, 2), "0a02");  // stored before the answer ran out
}

TEST(Parse41_43_44, NoModules) {
  TestDevice dev;
  fill_record(dev, 0xEE);
  dev.data_.rc_channel_count = 0;
  const auto before = record_of(dev);
  EXPECT_EQ(decode(dev, &korvantis_419::parse41_43, H("00 02 010203 00")).result, 2);
  EXPECT_EQ(decode(dev, &korvantis_419::parse41_44, H("00 02 01 00")).result, 2);
  EXPECT_EQ(record_of(dev), before);
}

}  // namespace
