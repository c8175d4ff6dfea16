// The simulator's answers, decoded by the plug-in's own decoders, give back the model's values:
// one test per section, with and without each firmware layout quirk.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "sim/answers.h"
#include "sim_test_util.h"
#include "support/stdout_capture.h"

namespace {

using simtest::model_from;

const char* kModel = R"({
  "ac": {
    "lines": [
      {"a": 230.5, "b": 229.0, "c": 231.25, "f": 50.0, "tower": [1.5, 2.5], "extra": [7.0],
       "alarms": [1, 0, 2, 0], "fuses": [0, 1], "tower_alarms": [9], "extra_alarms": [3, 3]},
      {"a": "absent", "b": 228.0, "c": "absent:ff", "f": 49.5,
       "alarms": [0, 4, 0, 5]}
    ],
    "values": [8.5, "absent", 0.0],
    "switches": [1, 0, 1], "tower_switches": [5, 5], "extra_switches": [6],
    "alarms": [7, 8, 9]
  },
  "rectifiers": {
    "voltage": 53.75,
    "modules": [
      {"current": 10.5, "tower": [99.0], "extra": [1.0, 2.0], "status": [0, 1, 2],
       "tower_states": [4], "extra_states": [5, 6], "alarm": 3, "tower_alarms": [8],
       "extra_alarms": [7]},
      {"current": 11.25, "status": [1, 0, 0]},
      {"current": 12.0, "status": [0, 0, 1], "alarm": 2}
    ]
  },
  "dc": {
    "panels": [
      {"voltage": 53.5, "current": 61.5, "m": [2.0, 3.0], "n": [1.0], "alarm": 1,
       "fuses": [0, 1, 0], "extra_alarms": [4]},
      {"voltage": 52.25, "current": 18.75, "alarm": 2, "fuses": [1]}
    ]
  }
})";

using Decoder = int (korvantis_419::*)(const unsigned char*, int);

// Runs a decoder over `bytes` in a buffer of exactly their size.
int decode(TestDevice& dev, Decoder fn, const sim::Bytes& bytes) {
  std::unique_ptr<uint8_t[]> buf(new uint8_t[bytes.size() + 1]);
  if (!bytes.empty()) std::memcpy(buf.get(), bytes.data(), bytes.size());
  StdoutCapture quiet;
  return (dev.*fn)(buf.get(), static_cast<int>(bytes.size()));
}

sim::Bytes after_flag(const sim::Bytes& info) { return sim::Bytes(info.begin() + 1, info.end()); }

float f(const le_f32& v) { return v.get(); }

class Quirked : public ::testing::TestWithParam<bool> {};

TEST_P(Quirked, AcAnalogValues) {
  sim::Model m = model_from(kModel);
  m.quirks.has_tower = GetParam();
  TestDevice dev;
  dev.has_tower_ = GetParam();
  const sim::Bytes info = sim::info_40_41(m);
  EXPECT_EQ(decode(dev, &korvantis_419::parse40_41, after_flag(info)),
            static_cast<int>(info.size() - 1));
  const auto& d = dev.data_;
  EXPECT_EQ(d.ac.channel_count, 2);
  EXPECT_EQ(f(d.acChannel[0].a), 230.5f);
  EXPECT_EQ(f(d.acChannel[0].b), 229.0f);
  EXPECT_EQ(f(d.acChannel[0].c), 231.25f);
  EXPECT_EQ(f(d.acChannel[0].f), 50.0f);
  EXPECT_EQ(d.acChannel[0].p40_41_count, 1);
  EXPECT_EQ(f(d.acChannel[1].a), 0.0f);  // absent line values read as 0
  EXPECT_EQ(f(d.acChannel[1].b), 228.0f);
  EXPECT_EQ(f(d.acChannel[1].c), 0.0f);
  EXPECT_EQ(f(d.acChannel[1].f), 49.5f);
  EXPECT_EQ(f(d.ac.ac_a), 8.5f);
  EXPECT_EQ(f(d.ac.ac_b), -0.1f);  // absent trailing values read as invalid
  EXPECT_EQ(f(d.ac.ac_c), 0.0f);
}

TEST_P(Quirked, AcSwitchStates) {
  sim::Model m = model_from(kModel);
  m.quirks.has_tower = GetParam();
  TestDevice dev;
  dev.has_tower_ = GetParam();
  const sim::Bytes info = sim::info_40_43(m);
  EXPECT_EQ(decode(dev, &korvantis_419::parse40_43, after_flag(info)),
            static_cast<int>(info.size() - 1));
  EXPECT_EQ(dev.data_.ac.airlock_count, 3);
  EXPECT_EQ(dev.data_.ac.airlock[0], 1);
  EXPECT_EQ(dev.data_.ac.airlock[1], 0);
  EXPECT_EQ(dev.data_.ac.airlock[2], 1);
  EXPECT_EQ(dev.data_.ac.p40_43_count, 1);
}

TEST_P(Quirked, AcAlarms) {
  sim::Model m = model_from(kModel);
  m.quirks.has_tower = GetParam();
  TestDevice dev;
  dev.has_tower_ = GetParam();
  const sim::Bytes info = sim::info_40_44(m);
  EXPECT_EQ(decode(dev, &korvantis_419::parse40_44, after_flag(info)),
            static_cast<int>(info.size() - 1));
  const auto& l0 = dev.data_.acChannel[0];
  const auto& l1 = dev.data_.acChannel[1];
  EXPECT_EQ((std::vector<int>{l0.a_alarm, l0.b_alarm, l0.c_alarm, l0.f_alarm}),
            (std::vector<int>{1, 0, 2, 0}));
  EXPECT_EQ((std::vector<int>{l1.a_alarm, l1.b_alarm, l1.c_alarm, l1.f_alarm}),
            (std::vector<int>{0, 4, 0, 5}));
  EXPECT_EQ(l0.p40_44_count, 2);
  EXPECT_EQ(l1.p40_44_count, 0);
  EXPECT_EQ(dev.data_.ac.ac_a_alarm, 7);
  EXPECT_EQ(dev.data_.ac.ac_b_alarm, 8);
  EXPECT_EQ(dev.data_.ac.ac_c_alarm, 9);
}

TEST_P(Quirked, RectifierAnswers) {
  for (uint8_t skip : {0, 3}) {
    sim::Model m = model_from(kModel);
    m.quirks.has_tower = GetParam();
    m.quirks.skip_41_41 = skip;
    TestDevice dev;
    dev.has_tower_ = GetParam();
    dev.skip_41_41_ = skip;
    const sim::Bytes analog = sim::info_41_41(m), states = sim::info_41_43(m),
                     alarms = sim::info_41_44(m);
    EXPECT_EQ(decode(dev, &korvantis_419::parse41_41, analog), static_cast<int>(analog.size()));
    EXPECT_EQ(decode(dev, &korvantis_419::parse41_43, states), static_cast<int>(states.size()));
    EXPECT_EQ(decode(dev, &korvantis_419::parse41_44, alarms), static_cast<int>(alarms.size()));
    const auto& d = dev.data_;
    EXPECT_EQ(f(d.rc_voltage), 53.75f);
    ASSERT_EQ(d.rc_channel_count, 3);
    // Modules 1 and 3 have their alarm bytes set (failed), module 2 is switched off (status 1):
    // none delivers anything.
    EXPECT_EQ(f(d.rcChannel[0].current), 0.0f);
    EXPECT_EQ(f(d.rcChannel[1].current), 0.0f);
    EXPECT_EQ(f(d.rcChannel[2].current), 0.0f);
    EXPECT_EQ(d.rcChannel[0].p41_41_count, 2);
    EXPECT_EQ((std::vector<int>{d.rcChannel[0].status[0], d.rcChannel[0].status[1],
                                d.rcChannel[0].status[2]}),
              (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(d.rcChannel[1].status[0], 1);
    EXPECT_EQ(d.rcChannel[2].status[2], 1);
    EXPECT_EQ(d.rcChannel[0].p41_43_count, 2);
    EXPECT_EQ(d.rcChannel[0].alarm, 3);
    EXPECT_EQ(d.rcChannel[2].alarm, 2);
    EXPECT_EQ(d.rcChannel[0].p41_44_count, 1);
  }
}

INSTANTIATE_TEST_SUITE_P(HasTower, Quirked, ::testing::Values(false, true));

// The DC answers go through the dispatcher, which reads the panel-count byte (or detects that
// there is none) before the panel decoders run.
struct DcCase {
  bool no_dc_number;    // the simulator's firmware quirk
  int32_t device_mode;  // the device's "no_dc_number": -1 detects the layout
  bool second_panel;    // expected in dc_2
};

class DcLayout : public ::testing::TestWithParam<DcCase> {};

TEST_P(DcLayout, AnalogAndAlarmAnswers) {
  const DcCase c = GetParam();
  sim::Model m = model_from(kModel);
  m.quirks.no_dc_number = c.no_dc_number;
  TestDevice dev;
  dev.no_dc_number_ = c.device_mode;
  dev.dc_i_adjust_ = -1;
  {
    StdoutCapture quiet;
    dev.cmd_state_ = PMBUSPOWER_42_41;
    dev.answer(sim::info_42_41(m), 0x42);
    dev.cmd_state_ = PMBUSPOWER_42_44;
    dev.answer(sim::info_42_44(m), 0x42);
  }
  EXPECT_EQ(dev.no_dc_number_, c.no_dc_number ? 1 : (c.device_mode == -1 ? 2 : c.device_mode));
  const auto& dc = dev.data_.dc;
  EXPECT_EQ(f(dc.voltage), 53.5f);
  EXPECT_EQ(f(dc.current), -61.5f);
  EXPECT_EQ(dc.m_count, 2);
  EXPECT_EQ(dc.n_count, 1);
  EXPECT_EQ(dc.p_count, 0);
  EXPECT_EQ(dc.alarm, 1);
  EXPECT_EQ(dc.alert_m_count, 3);
  EXPECT_EQ(dc.alert_p_count, 1);
  const auto& dc2 = dev.data_.dc_2;
  EXPECT_EQ(f(dc2.voltage), c.second_panel ? 52.25f : 0.0f);
  EXPECT_EQ(f(dc2.current), c.second_panel ? -18.75f : 0.0f);
  EXPECT_EQ(dc2.alarm, c.second_panel ? 2 : 0);
  EXPECT_EQ(dc2.alert_m_count, c.second_panel ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(PanelCountByte, DcLayout,
                         ::testing::Values(DcCase{false, -1, true}, DcCase{false, 2, true},
                                           DcCase{true, -1, false}, DcCase{true, 1, false}));

// A module count beyond the record's 40 entries still decodes to the end of the answer.
TEST(RectifierShelf, FortyEightModules) {
  sim::Model m = model_from(R"({"rectifiers": {"voltage": 54.0, "modules": [{"current": 5.5}],
                                               "count": 48}})");
  TestDevice dev;
  const sim::Bytes analog = sim::info_41_41(m);
  EXPECT_EQ(decode(dev, &korvantis_419::parse41_41, analog), static_cast<int>(analog.size()));
  EXPECT_EQ(dev.data_.rc_channel_count, 48);
  EXPECT_EQ(f(dev.data_.rcChannel[39].current), 5.5f);
}

}  // namespace
