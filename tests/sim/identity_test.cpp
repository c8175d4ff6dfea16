// The identification answers: the version query answered in the device's own version whatever
// the command's, other commands of another version refused, the manufacturer texts in GB18030
// at their fixed widths, and a text that does not fit refused when the model is read.
#include "sim/identity.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "sim_test_util.h"

TEST(Identification, VersionAddressAndMaker) {
  simtest::ManualClock clock;
  sim::Simulator s(simtest::model_from(R"({"version": "0x21",
      "manufacturer": {"device_name": "直流屏", "software_version": "2.7", "maker": "科凡电源"},
      "rectifiers": {"voltage": 53.5, "modules": [{"current": 10}]}})"),
                   1, clock.fn());
  const auto version = simtest::ask(s, simtest::command(0x41, 0x4F, {}, 1, 0x20));
  ASSERT_EQ(version.frames.size(), 1u) << version.line;
  EXPECT_EQ(version.frames[0].ver, 0x21);
  EXPECT_EQ(version.frames[0].cid2, 0x00);
  const auto analog = simtest::ask(s, simtest::command(0x41, 0x41, {}, 1, 0x20));
  ASSERT_EQ(analog.frames.size(), 1u);
  EXPECT_EQ(analog.frames[0].cid2, 0x01);  // VER error
  const auto maker = simtest::ask(s, simtest::command(0x41, 0x51, {}, 1, 0x21));
  ASSERT_EQ(maker.frames.size(), 1u);
  const std::vector<uint8_t> expected = {
      0xD6, 0xB1, 0xC1, 0xF7, 0xC6, 0xC1, ' ',  ' ',  ' ',  ' ',   // 直流屏
      2,    7,    0xBF, 0xC6, 0xB7, 0xB2, 0xB5, 0xE7, 0xD4, 0xB4,  // 科凡电源
      ' ',  ' ',  ' ',  ' ',  ' ',  ' ',  ' ',  ' ',  ' ',  ' ',  ' ', ' '};
  EXPECT_EQ(maker.frames[0].info, expected);
  // A group the model lacks does not answer the version query.
  EXPECT_EQ(simtest::ask(s, simtest::command(0x40, 0x4F, {}, 1, 0x21)).frames.at(0).cid2, 0x04);
}

TEST(Identification, TextsThatDoNotFitAreRefused) {
  EXPECT_THROW(sim::wire_text("eleven char", sim::kDeviceNameBytes), std::runtime_error);
  EXPECT_THROW(sim::wire_text("直流屏直流屏", sim::kDeviceNameBytes), std::runtime_error);  // 12
  EXPECT_THROW(simtest::model_from(R"({"manufacturer": {"software_version": "1.256"},
      "rectifiers": {"voltage": 53.5}})"),
               std::runtime_error);
}
