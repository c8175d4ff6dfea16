// AC distribution answers decoded into the record, checked at absolute record offsets.
#include <gtest/gtest.h>

#include "acq_test_util.h"

namespace {
using namespace acq;

const char* kV220 = "00005c43";
const char* kF50 = "00004842";
const char* kTen = "00002041";

std::string line(const std::string& extra = "00") {
  return std::string(kV220) + kV220 + kV220 + kF50 + extra;
}
std::string trailer() { return std::string(kTen) + kTen + kTen; }

TEST(Parse40_41, WorkedExampleOneLine) {
  TestDevice dev;
  const auto bytes = H("01" + line() + trailer());
  ASSERT_EQ(bytes.size(), 30u);
  const Decoded d = decode(dev, &korvantis_419::parse40_41, bytes);
  EXPECT_EQ(d.result, 30);
  EXPECT_EQ(d.out, std::string("parse40_41 channel_count is \x01\n") +
                       "a 0 0 5c 43\nparse40_41 acChannel.a is 220\n");
  EXPECT_EQ(at(dev, 20, 1), "01");
  EXPECT_EQ(at(dev, 41, 12), "00005c4300005c4300005c43");
  EXPECT_EQ(at(dev, 53, 5), "0000484200");
  EXPECT_EQ(at(dev, 8, 12), "000020410000204100002041");

  TestDevice shorter;
  const auto cut = std::vector<uint8_t>(bytes.begin(), bytes.end() - 1);
  EXPECT_EQ(decode(shorter, &korvantis_419::parse40_41, cut).result, -1);
}

TEST(Parse40_41, TwoLinesWithAndWithoutTowerBlock) {
  struct Row {
    bool tower;
    std::string block;  // what stands between f and P in each line
    int size;
  } rows[] = {{false, "", 47}, {true, "00", 49}, {true, "01ffffffff", 57}};
  for (const Row& row : rows) {
    TestDevice dev;
    dev.has_tower_ = row.tower;
    const std::string l = std::string(kV220) + kV220 + kV220 + kF50 + row.block + "00";
    const Decoded d = decode(dev, &korvantis_419::parse40_41, H("02" + l + l + trailer()));
    EXPECT_EQ(d.result, row.size) << row.block;
    EXPECT_EQ(at(dev, 63), kV220);  // second line's a
    EXPECT_EQ(at(dev, 75), kF50);   // second line's f
    EXPECT_EQ(at(dev, 16), kTen);   // ac_c behind both lines
  }
}

TEST(Parse40_41, AbsentValuesPerField) {
  TestDevice dev;
  decode(dev, &korvantis_419::parse40_41,
         H("01 20202020 00000000 ffffffff" + std::string(kF50) + "00 20202020 00000000 " + kTen));
  EXPECT_EQ(at(dev, 41), "00000000");  // a absent: 0.0
  EXPECT_EQ(at(dev, 45), "00000000");  // b zero: a value
  EXPECT_EQ(at(dev, 49), "00000000");  // c absent
  EXPECT_EQ(at(dev, 8), "cdccccbd");   // ac_a absent: invalid marker
  EXPECT_EQ(at(dev, 12), "00000000");  // ac_b zero: a value
}

TEST(Parse40_41, ExtraValuesAreCountedAndSteppedOver) {
  TestDevice dev;
  fill_record(dev, 0xEE);
  const Decoded d = decode(dev, &korvantis_419::parse40_41,
                           H("01" + line("03 11111111 22222222 33333333") + trailer()));
  EXPECT_EQ(d.result, 1 + 16 + 1 + 12 + 12);
  EXPECT_NE(d.out.find("acChannel.p40_41_count \x03\n"), std::string::npos);
  EXPECT_EQ(at(dev, 57, 1), "03");
  EXPECT_EQ(at(dev, 58, 5), "eeeeeeeeee");  // the line's alarm bytes are not touched
  EXPECT_EQ(at(dev, 8), kTen);
}

TEST(Parse40_41, SurplusLinesKeepThePositionAndAreDropped) {
  TestDevice dev;
  fill_record(dev, 0xEE);
  const std::string third = "0000a0410000a0410000a0410000a04100";  // 20.0 everywhere
  const Decoded d =
      decode(dev, &korvantis_419::parse40_41, H("03" + line() + line() + third + trailer()));
  EXPECT_EQ(d.result, 1 + 3 * 17 + 12);
  EXPECT_EQ(at(dev, 20, 1), "03");
  EXPECT_EQ(at(dev, 63), kV220);
  EXPECT_EQ(at(dev, 8), kTen);
  EXPECT_EQ(at(dev, 85, 5), "eeeeeeeeee");  // nothing lands behind the two line entries
}

TEST(Parse40_41, EmptyAnswerAndNoLines) {
  TestDevice dev;
  EXPECT_EQ(decode(dev, &korvantis_419::parse40_41, {}).result, -1);
  EXPECT_EQ(decode(dev, &korvantis_419::parse40_41, H("00" + trailer())).result, 13);
  EXPECT_EQ(at(dev, 41), "00000000");
}

TEST(Parse40_43, SwitchStates) {
  TestDevice dev;
  EXPECT_EQ(decode(dev, &korvantis_419::parse40_43, H("08 0102030405060708 00")).result, 10);
  EXPECT_EQ(at(dev, 21, 10), "08010203040506070800");

  // More switches than the record holds: only the count is stored.
  EXPECT_EQ(decode(dev, &korvantis_419::parse40_43, H("09 aaaaaaaaaaaaaaaaaa 00")).result, -1);
  EXPECT_EQ(at(dev, 21, 9), "090102030405060708");

  // Extra bytes are stepped over and the result is not compared with the length.
  EXPECT_EQ(decode(dev, &korvantis_419::parse40_43, H("02 0a0b 02")).result, 6);
  EXPECT_EQ(at(dev, 21, 10), "020a0b03040506070802");

  dev.has_tower_ = true;
  EXPECT_EQ(decode(dev, &korvantis_419::parse40_43, H("01 0c 02 ffff 00")).result, 6);
  EXPECT_EQ(at(dev, 30, 1), "00");
}

TEST(Parse40_44, AlwaysTwoLineBlocks) {
  TestDevice dev;
  const auto bytes = H("01 01020304 00 00 05060708 01ff 00 0a0b0c");
  const Decoded d = decode(dev, &korvantis_419::parse40_44, bytes);
  EXPECT_EQ(d.result, 17);
  EXPECT_EQ(d.out, "channel is 1\n");
  EXPECT_EQ(at(dev, 58, 5), "0102030400");
  EXPECT_EQ(at(dev, 80, 5), "0506070800");
  EXPECT_EQ(at(dev, 31, 3), "0a0b0c");

  TestDevice tower;
  tower.has_tower_ = true;
  EXPECT_EQ(decode(tower, &korvantis_419::parse40_44,
                   H("02 01020304 00 01aa 00 05060708 00 00 00 0a0b0c"))
                .result,
            19);
  EXPECT_EQ(at(tower, 80, 4), "05060708");
}

TEST(Parse40_44, ShortAnswerReportsOverflow) {
  TestDevice dev;
  const Decoded d =
      decode(dev, &korvantis_419::parse40_44, H("01 01020304 00 00 05060708 00 00 0a0b"));
  EXPECT_GT(d.result, 15);
  EXPECT_EQ(d.out, "channel is 1\nPMBusPowerAC:ProcotolError read 40_44 read overflow\n");
  EXPECT_EQ(at(dev, 31, 3), "0a0b00");
}

}  // namespace
