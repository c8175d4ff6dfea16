// Alarm mode 2: level-gated boolean rules of the power system and of the model, as one list.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "rule_helpers.h"
#include "support/device_probe.h"
#include "support/stdout_capture.h"

namespace {

using Lines = std::vector<std::string>;

const char* const kOver = "001#48V直流系统交流输入电压过高告警";
const char* const kUnder = "001#48V直流系统交流输入电压过低告警";
const char* const kOutage = "001#48V直流系统交流输入停电告警";
const char* const kFreqHigh = "001#48V直流系统交流输入频率过高告警";
const char* const kFreqLow = "001#48V直流系统交流输入频率过低告警";
const char* const kDcLow = "48V直流系统直流总电压过低告警";
const char* const kDcVeryLow = "48V直流系统直流总电压超低告警";
const char* const kDcHigh = "直流总电压过高告警";

struct Mode2Device : TestDevice {
  Mode2Device() {
    b_mode_ = 2;
    has_dc_ = true;
  }
  void phases(float a1, float b1, float c1, float a2, float b2, float c2) {
    data_.acChannel[0].a = a1;
    data_.acChannel[0].b = b1;
    data_.acChannel[0].c = c1;
    data_.acChannel[1].a = a2;
    data_.acChannel[1].b = b2;
    data_.acChannel[1].c = c2;
  }
  void levels(std::initializer_list<const char*> codes, int level) {
    for (const char* code : codes) alarm_levels_[code] = level;
  }
  // Whether the rule made under `code` is active; fails when no such rule was made.
  bool active(const std::string& code) const {
    for (const rule_value& r : rules_)
      if (r.key == code) return r.value != 0.0;
    ADD_FAILURE() << "no rule " << code;
    return false;
  }
};

TEST(Mode2, PopulatedRecordGivesTheWholeListInOrder) {
  Mode2Device dev;
  auto& d = dev.data_;
  d.ac.channel_count = 2;
  dev.phases(285.5f, 230.0f, 0.0f, 149.9f, 0.01f, 150.0f);
  d.acChannel[0].f = 50.0f;
  d.rc_channel_count = 3;
  d.rcChannel[0].status[0] = 1;
  d.rcChannel[1].status[0] = 2;
  d.rcChannel[2].status[0] = 1;
  d.dc.voltage = 53.1f;
  d.dc.alert_m_count = 2;
  d.dc_2.alert_m_count = 1;

  int level = 1;
  for (const char* code :
       {"220600120010", "220600130010", "220600140010", "220600160010", "220600170010"})
    dev.alarm_levels_[code] = level++;
  dev.levels({"120600690010", "120600020010", "120600690020", "120600020020", "120600690030",
              "120600020030"},
             2);
  dev.levels({"210600320010", "210600330010", "210600340010"}, 3);
  dev.levels({"120600470010", "120600470020", "120600470190"}, 4);
  dev.levels({"120600040010", "120600040020", "120600040030"}, 5);
  // The frequency-high code has no threshold: it compares against 0.0.
  dev.thresholds_["220600170010"] = 45.0f;
  dev.thresholds_["210600320010"] = 47.0f;
  dev.thresholds_["210600330010"] = 60.0f;
  dev.thresholds_["210600340010"] = 53.0f;

  dev.RunCheckThreshold();

  const std::string v = "ua1:285.5 ub1:230 uc1:0 ua2:149.9 ub2:0.01 uc2:150";
  const std::string f = "f1:50 f2:0";
  const std::string dc = "53.0999985";  // the float's nine significant digits
  const Lines expected = {
      gated(1, "220600120010", v, kOver, true),
      gated(2, "220600130010", v, kUnder, true),
      gated(3, "220600140010", v, kOutage, false),
      gated(4, "220600160010", f, kFreqHigh, true),
      gated(5, "220600170010", f, kFreqLow, false),
      gated(2, "120600690010", "1", "001#48V整流模块运行告警", true),
      gated(2, "120600020010", "1", "001#48V整流模块运行告警", true),
      gated(2, "120600690020", "1", "002#48V整流模块运行告警", false),
      gated(2, "120600020020", "1", "002#48V整流模块运行告警", false),
      gated(2, "120600690030", "1", "003#48V整流模块运行告警", true),
      gated(2, "120600020030", "1", "003#48V整流模块运行告警", true),
      gated(3, "210600320010", dc, kDcLow, false),
      gated(3, "210600330010", dc, kDcVeryLow, true),
      gated(3, "210600340010", dc, kDcHigh, true),
      // Fuse states are not stored in this record: the rules are made and stated inactive.
      gated(4, "120600470010", "1", "直流屏1001负载熔丝故障告警", false),
      gated(4, "120600470020", "1", "直流屏1002负载熔丝故障告警", false),
      gated(4, "120600470190", "1", "直流屏2001负载熔丝故障告警", false),
      gated(5, "120600040010", "1", "001#48V整流模块通信状态告警", false),
      gated(5, "120600040020", "1", "002#48V整流模块通信状态告警", false),
      gated(5, "120600040030", "1", "003#48V整流模块通信状态告警", false),
  };
  EXPECT_EQ(rule_lines(dev.rules_), expected);
  EXPECT_EQ(dev.thresholds_.at("220600160010"), 0.0f);
  EXPECT_TRUE(dev.rec.checks.empty());
  EXPECT_TRUE(dev.rec.reports.empty());
}

TEST(Mode2, CodesWithoutLevelMakeNoRuleAndComputeNothing) {
  Mode2Device dev;
  dev.data_.rc_channel_count = 1;
  dev.data_.dc.alert_m_count = 1;
  dev.data_.dc_2.alert_m_count = 1;
  dev.RunCheckThreshold();
  EXPECT_TRUE(dev.rules_.empty());
  // Every code was looked up (and so added with level 0) ...
  const std::vector<std::string> looked_up = {
      "120600020010", "120600040010", "120600470010", "120600470190", "120600690010",
      "210600320010", "210600330010", "210600340010", "220600120010", "220600130010",
      "220600140010", "220600160010", "220600170010"};
  std::vector<std::string> keys;
  for (const auto& [code, level] : dev.alarm_levels_) {
    keys.push_back(code);
    EXPECT_EQ(level, 0);
  }
  EXPECT_EQ(keys, looked_up);
  // ... but no condition was computed: no threshold was read.
  EXPECT_TRUE(dev.thresholds_.empty());
}

TEST(Mode2, WithoutAcAndDcOnlyModuleRulesAreMade) {
  Mode2Device dev;
  dev.has_ac_ = false;
  dev.has_dc_ = false;
  dev.data_.rc_channel_count = 1;
  dev.data_.dc.alert_m_count = 1;
  dev.levels({"220600120010", "210600320010", "120600470010", "120600690010", "120600020010"}, 1);
  dev.RunCheckThreshold();
  EXPECT_EQ(rule_lines(dev.rules_),
            (Lines{gated(1, "120600690010", "1", "001#48V整流模块运行告警", false),
                   gated(1, "120600020010", "1", "001#48V整流模块运行告警", false)}));
}

TEST(Mode2, CommunicationRulesFollowEveryPowerSystemRule) {
  Mode2Device dev;
  dev.data_.rc_channel_count = 12;
  dev.data_.dc_2.alert_m_count = 1;
  dev.levels({"120600040010", "120600040120", "120600690120", "220600140010", "120600470190"}, 1);
  dev.RunCheckThreshold();
  Lines codes;
  for (const rule_value& r : dev.rules_) codes.push_back(r.key + " " + r.text2);
  EXPECT_EQ(
      codes,
      (Lines{"220600140010 001#48V直流系统交流输入停电告警", "120600690120 012#48V整流模块运行告警",
             "120600470190 直流屏2001负载熔丝故障告警", "120600040010 001#48V整流模块通信状态告警",
             "120600040120 012#48V整流模块通信状态告警"}));
}

// Counts come from the answers; rules stop at the 40 stored modules. Fuse numbers are not stored
// states, so the whole counted range is formed (the second panel's codes reach 273).
TEST(Mode2, CountsBeyondTheRecordStopAtItsArrays) {
  Mode2Device dev;
  dev.has_ac_ = false;
  dev.data_.rc_channel_count = 255;
  dev.data_.dc_2.alert_m_count = 255;
  dev.levels({"120600690400", "120600690410", "120600040400", "120600040410", "120600472730"}, 1);
  dev.RunCheckThreshold();
  Lines codes;
  for (const rule_value& r : dev.rules_) codes.push_back(r.key + " " + r.text2);
  EXPECT_EQ(codes, (Lines{"120600690400 040#48V整流模块运行告警",
                          "120600472730 直流屏2255负载熔丝故障告警",
                          "120600040400 040#48V整流模块通信状态告警"}));
  // Module 41 and later are not even looked up.
  EXPECT_EQ(dev.alarm_levels_.count("120600020410"), 0u);
  EXPECT_EQ(dev.alarm_levels_.count("120600040420"), 0u);
}

TEST(Mode2, TheRoundHandsTheListOverAsOneBatch) {
  Mode2Device dev;
  dev.data_.rc_channel_count = 2;
  dev.levels({"120600690010", "120600690020", "120600040020"}, 1);
  StdoutCapture out;
  dev.RoundDone();
  EXPECT_NE(out.take().find("rvSize is 3\n"), std::string::npos);
  ASSERT_EQ(dev.rec.batches.size(), 1u);
  EXPECT_EQ(dev.rec.batches[0].size(), 3u);
  EXPECT_TRUE(dev.rules_.empty());
}

struct VoltageCase {
  const char* what;
  float u[6];
  bool has_a;
  bool over, under, outage;
};

class AcVoltage : public testing::TestWithParam<VoltageCase> {};

TEST_P(AcVoltage, LimitsAreStrict) {
  const VoltageCase& c = GetParam();
  Mode2Device dev;
  dev.has_a_ = c.has_a;
  dev.phases(c.u[0], c.u[1], c.u[2], c.u[3], c.u[4], c.u[5]);
  dev.levels({"220600120010", "220600130010", "220600140010"}, 1);
  dev.RunCheckThreshold();
  EXPECT_EQ(dev.active("220600120010"), c.over) << c.what;
  EXPECT_EQ(dev.active("220600130010"), c.under) << c.what;
  EXPECT_EQ(dev.active("220600140010"), c.outage) << c.what;
}

const float kJustAbove001 = std::nextafter(0.01f, 1.0f);

INSTANTIATE_TEST_SUITE_P(
    Table, AcVoltage,
    testing::Values(
        VoltageCase{"all zero", {0, 0, 0, 0, 0, 0}, true, false, false, true},
        VoltageCase{
            "line 1 normal, line 2 zeros", {230, 230, 230, 0, 0, 0}, true, false, false, false},
        VoltageCase{"line 1 low", {100, 100, 100, 0, 0, 0}, true, false, true, true},
        // 0.01f lies just below 0.01 in double precision, so it does not count as low.
        VoltageCase{"at the zero bound", {0.01f, 0, 0, 0, 0, 0}, true, false, false, true},
        VoltageCase{
            "just above the zero bound", {kJustAbove001, 0, 0, 0, 0, 0}, true, false, true, true},
        VoltageCase{"exactly 150 V", {150, 149.9f, 149.9f, 0, 0, 0}, true, false, true, false},
        VoltageCase{"exactly 280 V", {280, 230, 230, 230, 230, 230}, true, false, false, false},
        VoltageCase{
            "above 280 V on line 2", {230, 230, 230, 230, 230, 280.1f}, true, true, false, false},
        // An absent phase raises nothing, but its stored value still blocks the outage rule.
        VoltageCase{"absent phase high", {290, 230, 230, 0, 0, 0}, false, false, false, false},
        VoltageCase{"absent phase low", {100, 230, 230, 230, 230, 230}, false, false, false, false},
        VoltageCase{
            "absent phase blocks outage", {200, 0, 0, 0, 0, 0}, false, false, false, false}));

struct FrequencyCase {
  const char* what;
  float f1, f2;
  std::map<std::string, float> thresholds;
  bool high, low;
};

class AcFrequency : public testing::TestWithParam<FrequencyCase> {};

TEST_P(AcFrequency, ComparesWithTheCodesOwnThresholds) {
  const FrequencyCase& c = GetParam();
  Mode2Device dev;
  dev.data_.acChannel[0].f = c.f1;
  dev.data_.acChannel[1].f = c.f2;
  dev.thresholds_.insert(c.thresholds.begin(), c.thresholds.end());
  dev.levels({"220600160010", "220600170010"}, 1);
  dev.RunCheckThreshold();
  EXPECT_EQ(dev.active("220600160010"), c.high) << c.what;
  EXPECT_EQ(dev.active("220600170010"), c.low) << c.what;
}

const std::map<std::string, float> kFreqLimits = {{"220600160010", 55.0f}, {"220600170010", 45.0f}};

INSTANTIATE_TEST_SUITE_P(
    Table, AcFrequency,
    testing::Values(FrequencyCase{"no thresholds", 50, 0, {}, true, false},
                    FrequencyCase{"normal", 50, 0, kFreqLimits, false, false},
                    FrequencyCase{"line 1 low", 44.9f, 0, kFreqLimits, false, true},
                    FrequencyCase{"line 2 high", 0, 55.1f, kFreqLimits, true, false},
                    FrequencyCase{"at the thresholds", 55, 45, kFreqLimits, false, false},
                    FrequencyCase{"at the zero bound", 0.01f, 0, kFreqLimits, false, false}));

struct DcCase {
  float volts;
  bool low, very_low, high;
};

class DcVoltage : public testing::TestWithParam<DcCase> {};

TEST_P(DcVoltage, ComparesWithEachCodesThreshold) {
  const DcCase& c = GetParam();
  Mode2Device dev;
  dev.has_ac_ = false;
  dev.data_.dc.voltage = c.volts;
  dev.thresholds_ = {{"210600320010", 47.0f}, {"210600330010", 45.0f}, {"210600340010", 58.0f}};
  dev.levels({"210600320010", "210600330010", "210600340010"}, 1);
  dev.RunCheckThreshold();
  EXPECT_EQ(dev.active("210600320010"), c.low) << c.volts;
  EXPECT_EQ(dev.active("210600330010"), c.very_low) << c.volts;
  EXPECT_EQ(dev.active("210600340010"), c.high) << c.volts;
}

INSTANTIATE_TEST_SUITE_P(Table, DcVoltage,
                         testing::Values(DcCase{44.0f, true, true, false},
                                         DcCase{45.0f, true, false, false},
                                         DcCase{47.0f, false, false, false},
                                         DcCase{58.0f, false, false, false},
                                         DcCase{58.5f, false, false, true}));

}  // namespace
