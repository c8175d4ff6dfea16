// Events on the time line, played at times the test chooses, and the data-flag bytes they raise.
#include "sim/timeline.h"

#include <gtest/gtest.h>

#include "sim/answers.h"
#include "sim_test_util.h"

namespace {

using simtest::ask;
using simtest::ManualClock;
using simtest::model_from;

sim::Model with_events(const std::string& events) {
  return model_from(R"({
    "ac": {"lines": [{"a": 230, "b": 231, "c": 232, "f": 50}, {"a": 229, "b": 229, "c": 229, "f": 50}]},
    "rectifiers": {"voltage": 53.5, "modules": [{"current": 10}, {"current": 11}, {"current": 12}]},
    "dc": {"panels": [{"voltage": 53.5, "current": 30}]},
    "events": [)" + events +
                    "]}");
}

TEST(Timeline, MainsFailureForADuration) {
  sim::Model m = with_events(R"({"at": 10, "type": "mains_failure", "line": 2, "duration": 5,
                                 "alarm": 2})");
  sim::Timeline t(m.events);
  t.advance(m, 9.9);
  EXPECT_FALSE(m.ac.lines[1].failed);
  t.advance(m, 10);
  EXPECT_TRUE(m.ac.lines[1].failed);
  EXPECT_FALSE(sim::mains_down(m.ac));  // line 1 still feeds the modules
  EXPECT_TRUE(sim::ac_alarm_active(m.ac));
  const sim::Bytes alarms = sim::info_40_44(m);
  EXPECT_EQ(alarms[0] & 0x01, 0x01);
  EXPECT_EQ(alarms[2 + 7], 2);  // line 2's phase A alarm, after line 1's 7-byte block
  t.advance(m, 15);
  EXPECT_FALSE(m.ac.lines[1].failed);
  EXPECT_FALSE(sim::ac_alarm_active(m.ac));
}

TEST(Timeline, ModulesFailStopAndChangeCount) {
  sim::Model m = with_events(R"({"at": 1, "type": "module_fail", "module": 2, "alarm": 5},
                                {"at": 2, "type": "module_stop", "module": 3, "duration": 3},
                                {"at": 10, "type": "module_count", "count": 5})");
  sim::Timeline t(m.events);
  t.advance(m, 2);
  EXPECT_EQ(sim::module_current(m, m.rectifiers.modules[1]).value, 0.0f);
  EXPECT_EQ(sim::info_41_44(m)[2 + 1 * 2], 5);  // module 2: alarm byte, extras count
  EXPECT_EQ(m.rectifiers.modules[2].status[0], 1);
  EXPECT_TRUE(sim::rc_alarm_active(m.rectifiers));
  t.advance(m, 5);
  EXPECT_EQ(m.rectifiers.modules[2].status[0], 0);
  EXPECT_EQ(sim::module_current(m, m.rectifiers.modules[2]).value, 12.0f);
  t.advance(m, 10);
  ASSERT_EQ(m.rectifiers.modules.size(), 5u);
  EXPECT_EQ(m.rectifiers.modules[4].current.value, 12.0f);  // new modules copy the last one
  EXPECT_EQ(sim::info_41_41(m)[5], 5);
}

TEST(Timeline, DcVoltageRamp) {
  sim::Model m = with_events(R"({"at": 100, "type": "dc_ramp", "panel": 1, "to": 48.5,
                                 "duration": 50},
                                {"at": 200, "type": "dc_ramp", "panel": 1, "to": 54})");
  sim::Timeline t(m.events);
  const struct {
    double at;
    float volts;
  } rows[] = {{50, 53.5f}, {100, 53.5f}, {125, 51.0f}, {150, 48.5f}, {199, 48.5f}, {200, 54.0f}};
  for (const auto& row : rows) {
    t.advance(m, row.at);
    EXPECT_FLOAT_EQ(m.dc.panels[0].voltage.value, row.volts) << row.at;
  }
}

TEST(Timeline, EventsDueTogetherAndTimeGoingBack) {
  // Two failures back to back: the second starts when the first ends and the line stays down.
  sim::Model m = with_events(R"({"at": 5, "type": "mains_failure", "line": 1, "duration": 5},
                                {"at": 10, "type": "mains_failure", "line": 1, "duration": 5})");
  sim::Timeline t(m.events);
  t.advance(m, 10);
  EXPECT_TRUE(m.ac.lines[0].failed);
  t.advance(m, 3);  // an earlier time changes nothing
  EXPECT_TRUE(m.ac.lines[0].failed);
  EXPECT_EQ(t.started(), 2u);
  t.advance(m, 15);
  EXPECT_FALSE(m.ac.lines[0].failed);
}

// The alarm bit of the data-flag byte stands while an alarm is active; a change also stays
// flagged until the host has read the alarm answer.
TEST(DataFlags, RaisedWhileActiveAndUntilRead) {
  ManualClock clock;
  sim::Simulator s(with_events(R"({"at": 10, "type": "dc_alarm", "panel": 1, "alarm": 3,
                                   "duration": 10})"),
                   1, clock.fn());
  auto dc_flag = [&] { return ask(s, 0x42, 0x41, {0xFF}).frames.at(0).info.at(0); };
  EXPECT_EQ(dc_flag(), 0x00);
  clock.now += 10;
  EXPECT_EQ(dc_flag(), 0x01);
  ask(s, 0x42, 0x44, {0xFF});
  EXPECT_EQ(dc_flag(), 0x01);  // still active
  clock.now += 10;
  EXPECT_EQ(dc_flag(), 0x01);  // cleared, but not read yet
  ask(s, 0x42, 0x44, {0xFF});
  EXPECT_EQ(dc_flag(), 0x00);
}

TEST(DataFlags, SwitchChangeRaisesBit0x10UntilRead) {
  ManualClock clock;
  sim::Simulator s(model_from(R"({"ac": {"data_flag": "0x80", "lines": [], "switches": [0, 0]},
                                  "rectifiers": {"modules": []},
                                  "events": [{"at": 5, "type": "switch", "switch": 2,
                                              "state": 1}]})"),
                   1, clock.fn());
  auto ac_flag = [&] { return ask(s, 0x40, 0x41, {1}).frames.at(0).info.at(0); };
  EXPECT_EQ(ac_flag(), 0x80);  // the model's fixed bits
  clock.now += 5;
  EXPECT_EQ(ac_flag(), 0x90);
  EXPECT_EQ(ask(s, 0x40, 0x43, {1}).frames.at(0).info, (sim::Bytes{0x90, 2, 0, 1, 0}));
  EXPECT_EQ(ac_flag(), 0x80);
}

}  // namespace
