// Analog change reporting: when a value is reported, and what the settings table keeps.
#include <gtest/gtest.h>

#include <string>

#include "support/device_probe.h"
#include "support/fake_clock.h"

namespace {

using Setting = KLXVDevice::BAOSetting;

const char* const kKey = "419610401001";
const char* const kReport = "419110100001";

Setting absolute(float last, float delta) {
  Setting s;
  s.abs_enabled = true;
  s.abs_delta = delta;
  s.last_value = last;
  return s;
}

Setting relative(float last, float pct) {
  Setting s;
  s.pct_enabled = true;
  s.pct_delta = pct;
  s.last_value = last;
  return s;
}

Setting periodic(float minutes, uint32_t last_time) {
  Setting s;
  s.period_enabled = true;
  s.period_minutes = minutes;
  s.last_time = last_time;
  return s;
}

TEST(AOReport, UnconfiguredSignalIsNeverReportedAndAddsNoEntry) {
  TestDevice dev;
  dev.ao_settings_["419620401001"] = periodic(1, 0);  // an unrelated signal
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(dev.CheckAOReport(kKey, kReport, 230.0f), 0);
  }
  EXPECT_EQ(dev.ao_settings_.size(), 1u);
  EXPECT_TRUE(dev.rec.reports.empty());
}

TEST(AOReport, FirstUseCopiesTheSettingAndAPeriodReportsAtOnce) {
  test_clock::Frozen clock(1700000000);
  TestDevice dev;
  dev.ao_settings_[kKey] = periodic(15, 0);

  EXPECT_EQ(dev.CheckAOReport(kKey, kReport, 231.5f), 1);
  ASSERT_EQ(dev.rec.log, std::vector<std::string>{"report 419110100001 231.5"});
  const Setting& own = dev.ao_settings_.at(kReport);
  EXPECT_TRUE(own.period_enabled);
  EXPECT_EQ(own.period_minutes, 15.0f);
  EXPECT_EQ(own.last_time, 1700000000u);
  EXPECT_EQ(own.last_value, 231.5f);
  // The setting key's own entry is only read.
  EXPECT_EQ(dev.ao_settings_.at(kKey).last_time, 0u);
  EXPECT_EQ(dev.CheckAOReport(kKey, kReport, 231.5f), 0);
}

struct ChangeCase {
  const char* what;
  Setting setting;
  float value;
  int reported;
};

class ChangeCriteria : public testing::TestWithParam<ChangeCase> {};

TEST_P(ChangeCriteria, ReportsOnlyWhenABoundIsPassedStrictly) {
  const ChangeCase& c = GetParam();
  test_clock::Frozen clock(1700000000);
  TestDevice dev;
  dev.ao_settings_[kReport] = c.setting;
  EXPECT_EQ(dev.CheckAOReport(kKey, kReport, c.value), c.reported) << c.what;
  EXPECT_EQ(dev.rec.reports.size(), static_cast<size_t>(c.reported));
  const Setting& after = dev.ao_settings_.at(kReport);
  EXPECT_EQ(after.last_value, c.reported ? c.value : c.setting.last_value);
  EXPECT_EQ(after.last_time, c.reported ? 1700000000u : c.setting.last_time);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ChangeCriteria,
    testing::Values(ChangeCase{"no criterion enabled", Setting(), 1e6f, 0},
                    ChangeCase{"abs: at the upper bound", absolute(230, 5), 235.0f, 0},
                    ChangeCase{"abs: above the upper bound", absolute(230, 5), 235.1f, 1},
                    ChangeCase{"abs: below the lower bound", absolute(230, 5), 224.9f, 1},
                    ChangeCase{"abs: at the lower bound", absolute(230, 5), 225.0f, 0},
                    ChangeCase{"pct: zero last value, zero", relative(0, 10), 0.0f, 0},
                    ChangeCase{"pct: zero last value, small", relative(0, 10), 0.001f, 1},
                    ChangeCase{"pct: zero last value, negative", relative(0, 10), -0.001f, 1},
                    ChangeCase{"pct: 10% of 50 is inside", relative(50, 10), 55.0f, 0},
                    ChangeCase{"pct: above 110% of 50", relative(50, 10), 55.01f, 1},
                    // A negative last value swaps the bounds (-11 above, -9 below), so every
                    // value passes one of them.
                    ChangeCase{"pct: negative, unchanged", relative(-10, 10), -10.0f, 1},
                    ChangeCase{"pct: negative, upper side", relative(-10, 10), -10.5f, 1},
                    ChangeCase{"pct: negative, lower side", relative(-10, 10), -9.5f, 1},
                    ChangeCase{"period: not yet", periodic(15, 1700000000 - 800), 1.0f, 0},
                    ChangeCase{"period: passed", periodic(15, 1700000000 - 1000), 1.0f, 1}));

// Seconds since the epoch are compared as float: between 2^30 and 2^31 both sides round to a
// multiple of 128 s, so a 15-minute period can run almost a minute long.
TEST(AOReport, PeriodIsComparedInSinglePrecision) {
  const time_t start = 1700000000;  // a multiple of 128
  test_clock::Frozen clock(start);
  TestDevice dev;
  dev.ao_settings_[kReport] = periodic(15, static_cast<uint32_t>(start));

  test_clock::set(start + 959);  // rounds to start + 896, as does start + 900
  EXPECT_EQ(dev.CheckAOReport(kKey, kReport, 1.0f), 0);
  test_clock::set(start + 961);  // rounds to start + 1024
  EXPECT_EQ(dev.CheckAOReport(kKey, kReport, 1.0f), 1);
  EXPECT_EQ(dev.ao_settings_.at(kReport).last_time, static_cast<uint32_t>(start + 961));
}

// Six phase voltages share one setting key; each report identifier keeps its own last value, and
// later changes to the key's entry do not reach an identifier already in use.
TEST(AOReport, ReportIdentifiersSharingAKeyAreIndependent) {
  TestDevice dev;
  dev.ao_settings_[kKey] = absolute(0, 5);
  EXPECT_EQ(dev.CheckAOReport(kKey, "419110100001", 230.0f), 1);
  EXPECT_EQ(dev.CheckAOReport(kKey, "419110100002", 230.0f), 1);
  EXPECT_EQ(dev.CheckAOReport(kKey, "419110100001", 232.0f), 0);
  EXPECT_EQ(dev.CheckAOReport(kKey, "419110100002", 240.0f), 1);
  EXPECT_EQ(dev.ao_settings_.at(kKey).last_value, 0.0f);

  dev.ao_settings_[kKey].abs_enabled = false;
  EXPECT_EQ(dev.CheckAOReport(kKey, "419110100001", 300.0f), 1);
  EXPECT_EQ(dev.rec.log,
            (std::vector<std::string>{"report 419110100001 230", "report 419110100002 230",
                                      "report 419110100002 240", "report 419110100001 300"}));
}

}  // namespace
