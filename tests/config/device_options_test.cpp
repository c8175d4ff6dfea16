// Reading the device options from "appSetting".
#include <gtest/gtest.h>

#include <string>

#include "support/device_probe.h"
#include "support/stdout_capture.h"

namespace {

struct OptionCase {
  const char* settings;
  bool has_ac, has_dc;
  int no_dc_number, dc_i_adjust, ac_line;
  bool has_tower;
};

class OptionsTable : public testing::TestWithParam<OptionCase> {};

TEST_P(OptionsTable, ReadsEachKeyAsTextThroughAtoi) {
  const OptionCase& c = GetParam();
  TestDevice dev;
  StdoutCapture quiet;
  EXPECT_EQ(dev.configure(c.settings), 1);
  EXPECT_EQ(dev.has_ac_, c.has_ac);
  EXPECT_EQ(dev.has_dc_, c.has_dc);
  EXPECT_EQ(dev.no_dc_number_, c.no_dc_number);
  EXPECT_EQ(dev.dc_i_adjust_, c.dc_i_adjust);
  EXPECT_EQ(dev.ac_line_, c.ac_line);
  EXPECT_EQ(dev.has_tower_, c.has_tower);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, OptionsTable,
    testing::Values(
        // No "appSetting", or one that is not an object: every default stays.
        OptionCase{"{}", true, false, -1, 1, 1, false},
        OptionCase{R"({"appSetting":[1,2]})", true, false, -1, 1, 1, false},
        OptionCase{R"({"appSetting":"has_dc"})", true, false, -1, 1, 1, false},
        // Numbers and numeric strings alike; a real number is cut at its point.
        OptionCase{R"({"appSetting":{"has_ac":"0","has_dc":1,"no_dc_number":"1"}})", false,
                   true, 1, 1, 1, false},
        OptionCase{R"({"appSetting":{"dc_i_adjust":-1,"ac_line":"3"}})", true, false, -1, -1, 3,
                   false},
        OptionCase{R"({"appSetting":{"dc_i_adjust":2.9,"ac_line":" 2x"}})", true, false, -1, 2,
                   2, false},
        // "no_dc_number" 0 is a value (a count byte is present), not the default -1.
        OptionCase{R"({"appSetting":{"no_dc_number":0}})", true, false, 0, 1, 1, false},
        // JSON booleans read as the text "true"/"false", which atoi takes as 0.
        OptionCase{R"({"appSetting":{"has_ac":true,"has_tower":true}})", false, false, -1, 1, 1,
                   false},
        OptionCase{R"({"appSetting":{"has_tower":"1","ac_line":null}})", true, false, -1, 1, 1,
                   true}));

TEST(Options, DataIdentifierIsStampedWithOrWithoutOptions) {
  TestDevice dev(0x01020304);
  StdoutCapture quiet;
  dev.configure("{}");
  const auto rec = dev.record();
  EXPECT_EQ(rec[0], 0x04);
  EXPECT_EQ(rec[1], 0x03);
  EXPECT_EQ(rec[2], 0x02);
  EXPECT_EQ(rec[3], 0x01);
  for (size_t i = 4; i < rec.size(); ++i) ASSERT_EQ(rec[i], 0) << "offset " << i;
}

TEST(Options, BModeLinePrintedOnlyWhenTheKeyIsPresent) {
  {
    TestDevice dev(9);
    StdoutCapture out;
    dev.configure(R"({"appSetting":{"has_dc":"1"}})");
    EXPECT_EQ(out.take(), "");
    EXPECT_EQ(dev.b_mode_, 1);
  }
  {
    TestDevice dev(9);
    StdoutCapture out;
    dev.configure(R"({"appSetting":{"b_mode":"2"}})");
    EXPECT_EQ(out.take(), "InitSetting 9 b_mode_:2\n");
    EXPECT_EQ(dev.b_mode_, 2);
  }
}

// An array where text is expected cannot be converted: jsoncpp's error leaves InitSetting at that
// key, the options read before it stay set and the identifier is not stamped.
TEST(Options, ArrayValueLeavesInitSettingWithTheLibraryError) {
  TestDevice dev(5);
  EXPECT_ANY_THROW(dev.configure(R"({"appSetting":{"has_ac":"0","has_dc":[1]}})"));
  EXPECT_FALSE(dev.has_ac_);
  EXPECT_FALSE(dev.has_dc_);
  EXPECT_EQ(dev.data_.data_id.get(), 0u);
}

TEST(Options, ReturnsOneWhateverTheHostLayerSays) {
  struct Refusing : TestDevice {
    using TestDevice::TestDevice;
  } dev;
  StdoutCapture quiet;
  EXPECT_EQ(dev.configure(R"({"appSetting":{"b_mode":3}})"), 1);
}

}  // namespace
