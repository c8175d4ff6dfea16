// Alarm mode 1: value checks with their change reports, and the input-power interruption rule.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rule_helpers.h"
#include "support/device_probe.h"
#include "support/fake_clock.h"
#include "support/stdout_capture.h"

namespace {

using Lines = std::vector<std::string>;

// Every setting key reports on first use, so each check is followed by its report.
void report_everything(TestDevice& dev) {
  KLXVDevice::BAOSetting s;
  s.period_enabled = true;
  s.period_minutes = 15;
  for (const char* key :
       {"419610401001", "419610801001", "419613901001", "419620401001", "419620301001"})
    dev.ao_settings_[key] = s;
}

// Distinct values everywhere, so each line shows which field it was taken from.
void fill_record(TestDevice& dev) {
  auto& d = dev.data_;
  d.ac.channel_count = 2;
  d.acChannel[0].a = 231.0f;
  d.acChannel[0].b = 232.0f;
  d.acChannel[0].c = 233.0f;
  d.acChannel[0].f = 50.5f;
  d.acChannel[1].a = 221.0f;
  d.acChannel[1].b = 222.0f;
  d.acChannel[1].c = 223.0f;
  d.acChannel[1].f = 49.5f;
  d.dc.current = -12.5f;
  d.dc.voltage = 53.5f;
  d.dc_2.current = 7.25f;
  d.dc_2.voltage = 53.75f;
}

Lines row(const std::string& check, const std::string& report, const std::string& value) {
  return {"check " + check + " " + value, "report " + report + " " + value};
}

Lines join(std::initializer_list<Lines> parts) {
  Lines all;
  for (const Lines& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

const Lines kLine1Type0 =
    join({row("419610401001", "419110100001", "231"), row("419610401002", "419110200001", "232"),
          row("419610401003", "419110300001", "233")});
const Lines kLine2Type0 =
    join({row("419610401004", "419110100002", "221"), row("419610401005", "419110200002", "222"),
          row("419610401006", "419110300002", "223")});
const Lines kLine1Type1 =
    join({row("419610801001", "419110500001", "231"), row("419610801002", "419110600001", "232"),
          row("419610801003", "419110700001", "233")});
const Lines kLine2Type1 =
    join({row("419610801004", "419110500002", "221"), row("419610801005", "419110600002", "222"),
          row("419610801006", "419110700002", "223")});
// Line 2's values under line 1's identifiers (`ac_line_` 2).
const Lines kLine2AsLine1 =
    join({row("419610401001", "419110100001", "221"), row("419610401002", "419110200001", "222"),
          row("419610401003", "419110300001", "223")});
const Lines kF1 = row("419613901001", "419113900001", "50.5");
const Lines kF2 = row("419613901002", "419113900002", "49.5");
const Lines kF2AsF1 = row("419613901001", "419113900001", "49.5");
const Lines kPanel1 = join(
    {row("419620401001", "419120400001", "-12.5"), row("419620301001", "419120300001", "53.5")});
const Lines kPanel2 = join(
    {row("419620401002", "419120400002", "7.25"), row("419620301002", "419120300002", "53.75")});

struct Mode1Case {
  const char* what;
  bool has_ac, has_dc;
  int ac_line, ac_type;
  uint32_t dc_number;
  Lines calls;
};

class Mode1Calls : public testing::TestWithParam<Mode1Case> {};

TEST_P(Mode1Calls, ChecksAndReportsInOrder) {
  const Mode1Case& c = GetParam();
  test_clock::Frozen clock;
  TestDevice dev;
  report_everything(dev);
  fill_record(dev);
  dev.has_ac_ = c.has_ac;
  dev.has_dc_ = c.has_dc;
  dev.ac_line_ = c.ac_line;
  dev.ac_type_ = c.ac_type;
  dev.dc_number_ = c.dc_number;

  dev.RunCheckThreshold();
  EXPECT_EQ(dev.rec.log, c.calls) << c.what;
  for (const auto& check : dev.rec.checks) {
    EXPECT_EQ(check.name, "");
    EXPECT_EQ(check.count, 1);
  }
  // Both lines are live, so the one boolean rule (AC only) is stated inactive.
  const Lines power_off = {"1 PowerOff 419415001 |输入电源中断告警|输入电源中断告警| 0 100"};
  EXPECT_EQ(rule_lines(dev.rules_), c.has_ac ? power_off : Lines{});
}

INSTANTIATE_TEST_SUITE_P(
    Table, Mode1Calls,
    testing::Values(
        Mode1Case{"line 1", true, false, 1, 0, 0, join({kLine1Type0, kF1})},
        Mode1Case{"line 2 as line 1", true, false, 2, 0, 0, join({kLine2AsLine1, kF2AsF1})},
        Mode1Case{"both lines", true, false, 3, 0, 0, join({kLine1Type0, kLine2Type0, kF1, kF2})},
        Mode1Case{"ac_line 0 is both", true, false, 0, 0, 0,
                  join({kLine1Type0, kLine2Type0, kF1, kF2})},
        Mode1Case{"line 1, second family", true, false, 1, 7, 0, join({kLine1Type1, kF1})},
        Mode1Case{"line 2, second family", true, false, 2, 1, 0,
                  join({row("419610801001", "419110500001", "221"),
                        row("419610801002", "419110600001", "222"),
                        row("419610801003", "419110700001", "223"), kF2AsF1})},
        Mode1Case{"both lines, second family", true, false, 3, 1, 0,
                  join({kLine1Type1, kLine2Type1, kF1, kF2})},
        Mode1Case{"one DC panel", true, true, 1, 0, 1, join({kLine1Type0, kF1, kPanel1})},
        Mode1Case{"two DC panels", true, true, 1, 0, 2, join({kLine1Type0, kF1, kPanel1, kPanel2})},
        Mode1Case{"DC alone", false, true, 3, 0, 2, join({kPanel1, kPanel2})},
        Mode1Case{"DC panel count unknown", false, true, 1, 0, 0, kPanel1},
        Mode1Case{"nothing configured", false, false, 1, 0, 2, {}}));

TEST(Mode1, WithoutPhasesOnlyFrequenciesAreCheckedAndEveryStoredLineIsLive) {
  TestDevice dev;
  dev.has_a_ = dev.has_b_ = dev.has_c_ = false;
  dev.data_.ac.channel_count = 1;
  dev.data_.acChannel[0].f = 50.0f;
  dev.RunCheckThreshold();
  EXPECT_EQ(dev.rec.log, Lines{"check 419613901001 50"});
  ASSERT_EQ(dev.rules_.size(), 1u);
  EXPECT_EQ(dev.rules_[0].value, 0.0);
}

struct PowerCase {
  const char* what;
  int channel_count;
  float line1[3], line2[3];
  bool has_c;
  bool interrupted;
};

class InputPower : public testing::TestWithParam<PowerCase> {};

TEST_P(InputPower, ALineIsLiveWhenEveryPresentPhaseIsAbove120) {
  const PowerCase& c = GetParam();
  TestDevice dev;
  dev.has_c_ = c.has_c;
  auto& d = dev.data_;
  d.ac.channel_count = static_cast<uint8_t>(c.channel_count);
  for (int line = 0; line < 2; ++line) {
    const float* v = line == 0 ? c.line1 : c.line2;
    d.acChannel[line].a = v[0];
    d.acChannel[line].b = v[1];
    d.acChannel[line].c = v[2];
  }
  dev.RunCheckThreshold();
  ASSERT_FALSE(dev.rules_.empty());
  EXPECT_EQ(dev.rules_[0].value, c.interrupted ? 1.0 : 0.0) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, InputPower,
    testing::Values(
        PowerCase{"no line reported yet", 0, {230, 230, 230}, {230, 230, 230}, true, true},
        PowerCase{"line 1 live", 1, {230, 230, 230}, {0, 0, 0}, true, false},
        PowerCase{"exactly 120 V is not live", 1, {230, 120.0f, 230}, {0, 0, 0}, true, true},
        PowerCase{"just above 120 V", 1, {230, 120.00001f, 230}, {0, 0, 0}, true, false},
        PowerCase{"line 2 alone live", 2, {0, 0, 0}, {230, 230, 230}, true, false},
        PowerCase{"line 2 live but not reported", 1, {0, 0, 0}, {230, 230, 230}, true, true},
        PowerCase{"absent phase imposes nothing", 1, {230, 230, 0}, {0, 0, 0}, false, false},
        // Only the two stored lines are looked at, whatever count the answer carried.
        PowerCase{"count above the record's lines", 200, {0, 0, 0}, {0, 0, 0}, true, true}));

TEST(Modes, OtherModesBuildNothingButTheRoundStillHandsOverABatch) {
  for (int mode : {0, 3, 4, -1}) {
    TestDevice dev;
    dev.b_mode_ = mode;
    dev.has_dc_ = true;
    dev.alarm_levels_["220600120010"] = 1;
    dev.data_.rc_channel_count = 3;
    StdoutCapture out;
    dev.RoundDone();
    EXPECT_NE(out.take().find("rvSize is 0\n"), std::string::npos) << mode;
    EXPECT_TRUE(dev.rec.checks.empty());
    ASSERT_EQ(dev.rec.batches.size(), 1u);
    EXPECT_TRUE(dev.rec.batches[0].empty());
    EXPECT_TRUE(dev.rules_.empty());
  }
}

}  // namespace
