// The "thresholdSetting" walk of mode 3.
#include <gtest/gtest.h>

#include <string>

#include "support/device_probe.h"
#include "support/stdout_capture.h"

namespace {

const char* const kMode3 = R"("appSetting":{"b_mode":"3"})";

std::string walk(TestDevice& dev, const std::string& thresholds) {
  StdoutCapture out;
  EXPECT_EQ(dev.configure(std::string("{") + kMode3 + "," + thresholds + "}"), 1);
  return out.take();
}

TEST(ThresholdSettings, ShowsEachEntryWithWhatTheHostHolds) {
  TestDevice dev(12);
  const std::string out =
      walk(dev, R"("thresholdSetting":{"k1":{"NMAlarmID":"401","ID":"17","SignalNumber":"1"}})");
  EXPECT_EQ(out,
            "InitSetting 12 b_mode_:3\n"
            "here 1\n"
            "here 2\n"
            "here k1\n"
            "mobile:k1:401;17;1; level:0 value:0\n");
  // Looking the key up entered it into both tables.
  ASSERT_EQ(dev.alarm_levels_.count("k1"), 1u);
  ASSERT_EQ(dev.thresholds_.count("k1"), 1u);
  EXPECT_EQ(dev.alarm_levels_["k1"], 0);
  EXPECT_EQ(dev.thresholds_["k1"], 0.0f);
}

TEST(ThresholdSettings, MissingFieldsLeaveEmptySlots) {
  TestDevice dev(12);
  dev.alarm_levels_["s"] = 2;
  dev.thresholds_["s"] = 53.25f;
  const std::string out = walk(dev, R"("thresholdSetting":{"s":{"ID":17}})");
  EXPECT_EQ(out,
            "InitSetting 12 b_mode_:3\nhere 1\nhere 2\nhere s\n"
            "12 NMAlarmID is missing\n"
            "12 SignalNumber is missing\n"
            "mobile:s:;17;; level:2 value:53.25\n");
}

TEST(ThresholdSettings, MembersInSortedOrderNonObjectsSkipped) {
  TestDevice dev(3);
  const std::string out = walk(
      dev,
      R"("thresholdSetting":{"b":{"NMAlarmID":"2","ID":"","SignalNumber":"x"},"B":5,"a":{"NMAlarmID":"1","ID":"i","SignalNumber":"n"}})");
  EXPECT_EQ(out,
            "InitSetting 3 b_mode_:3\nhere 1\nhere 2\n"
            "here B\n"
            "here a\nmobile:a:1;i;n; level:0 value:0\n"
            "here b\nmobile:b:2;;x; level:0 value:0\n");
  EXPECT_EQ(dev.alarm_levels_.count("B"), 0u);
}

TEST(ThresholdSettings, AbsentNullOrScalarTables) {
  struct Case {
    const char* thresholds;
    const char* printed;
  };
  for (const Case& c :
       {Case{R"("x":1)", "here 1\n"}, Case{R"("thresholdSetting":null)", "here 1\n"},
        Case{R"("thresholdSetting":"k1")", "here 1\nhere 2\n"},
        Case{R"("thresholdSetting":{})", "here 1\nhere 2\n"}}) {
    TestDevice dev(4);
    EXPECT_EQ(walk(dev, c.thresholds), std::string("InitSetting 4 b_mode_:3\n") + c.printed)
        << c.thresholds;
  }
}

TEST(ThresholdSettings, OtherModesDoNotLook) {
  for (const char* mode : {"1", "2", "4"}) {
    TestDevice dev(4);
    StdoutCapture out;
    EXPECT_EQ(dev.configure(std::string(R"({"appSetting":{"b_mode":")") + mode +
                            R"("},"thresholdSetting":{"k1":{"ID":"1"}}})"),
              1);
    EXPECT_EQ(out.take(), std::string("InitSetting 4 b_mode_:") + mode + "\n");
    EXPECT_TRUE(dev.alarm_levels_.empty());
  }
}

// Configuration errors are jsoncpp's and leave InitSetting; the host reports them.
TEST(ThresholdSettings, ArrayTableOrNonTextFieldEscapes) {
  {
    TestDevice dev(4);
    StdoutCapture quiet;
    EXPECT_ANY_THROW(
        dev.InitSetting(parse_json(R"({"appSetting":{"b_mode":3},"thresholdSetting":[{}]})")));
  }
  {
    TestDevice dev(4);
    StdoutCapture quiet;
    EXPECT_ANY_THROW(dev.InitSetting(
        parse_json(R"({"appSetting":{"b_mode":3},"thresholdSetting":{"k":{"ID":[1]}}})")));
  }
}

}  // namespace
