// The runner's loop in process against the simulator, on the controllable clock: a line that
// falls silent, and a wall clock set back and forward while polling.
#include <gtest/gtest.h>

#include "in_process_host.h"
#include "support/fake_clock.h"

namespace {

using reliability::InProcessHost;
constexpr const char* kComm = InProcessHost::kCommAlarm;
const char* kSettings = R"({"appSetting":{"has_dc":"1","b_mode":"2"}})";

sim::Model silent_between(double from, double to) {
  sim::Model m = sim::default_model();
  sim::FaultRule f;
  f.kind = sim::FaultRule::Kind::NoAnswer;
  f.from = from;
  f.to = to;
  m.faults.push_back(f);
  return m;
}

// The line answers nothing from 30 s to 400 s of the simulator's time line. The data stays fresh
// for 60 s after the last round and is refused after; the communication alarm rises at the first
// Reset once 120 s have passed without a round, and the first round after the silence clears it.
TEST(SilentLine, StaleDataRefusedCommunicationAlarmRaisedThenCleared) {
  test_clock::Frozen clock(1700000000);
  InProcessHost h(silent_between(30, 400), kSettings);
  h.device().alarm_levels_[kComm] = 1;

  time_t last_round = 0;
  uint64_t rounds = 0;
  const auto tick = [&] {
    h.tick();
    if (h.rounds() != rounds) rounds = h.rounds(), last_round = test_clock::now();
  };
  while (h.simulator().elapsed() < 31) tick();
  ASSERT_GE(rounds, 10u);
  const uint64_t publishes = h.host().publishes;

  while (test_clock::now() < last_round + 60) tick();
  EXPECT_EQ(h.get("out_v"), "53.5") << "exactly 60 s old is still fresh";
  tick();
  EXPECT_EQ(h.get("out_v"), "数据已超时");
  EXPECT_EQ(h.get("ac"), "数据已超时");

  time_t raised_at = 0;
  while (h.simulator().elapsed() < 398) {
    tick();
    if (!raised_at && h.host().last_transition(kComm) == 1) raised_at = test_clock::now();
  }
  ASSERT_NE(raised_at, 0) << "the communication alarm was not raised";
  EXPECT_GE(raised_at - last_round, 120);
  EXPECT_LT(raised_at - last_round, 120 + 10);  // Reset comes every 10 s
  EXPECT_TRUE(h.host().alarms.active(kComm));
  EXPECT_EQ(h.host().publishes, publishes) << "no record published while the line was silent";
  // 370 s of silence: without the back-off a command went out at every tick (370 time-outs);
  // with it, one every 3 s (1 s time-out, 2 s back-off).
  EXPECT_LT(h.device().protocol_counters().timeouts, 200u) << "the dead line is hammered";
  EXPECT_GT(h.device().protocol_counters().timeouts, 100u);  // one every 3 s

  h.host().clear_transitions();
  const uint64_t before = h.rounds();
  while (h.rounds() == before) tick();
  EXPECT_EQ(h.host().last_transition(kComm), 0) << "the next round clears the alarm";
  EXPECT_FALSE(h.host().alarms.active(kComm));
  EXPECT_EQ(h.get("out_v"), "53.5");
}

// The clock is set back an hour while the line is dead: the last round lies in the future, and
// the count of silence restarts when a Reset sees that, so the alarm is up within 120 s of it
// (plus the 10 s between two Resets) rather than after the hour.
TEST(ClockJumps, SetBackWhileTheLineIsDeadStillRaisesTheAlarm) {
  test_clock::Frozen clock(1700000000);
  sim::Model m = silent_between(30, 1e9);
  m.faults.push_back(silent_between(-1e9, 0).faults[0]);  // the simulator's time goes back too
  InProcessHost h(m, kSettings);
  h.device().alarm_levels_[kComm] = 1;
  while (h.simulator().elapsed() < 31) h.tick();
  ASSERT_GT(h.rounds(), 0u);

  test_clock::advance(-3600);
  const time_t stepped = test_clock::now();
  while (test_clock::now() < stepped + 200 && !h.host().alarms.active(kComm)) h.tick();
  ASSERT_TRUE(h.host().alarms.active(kComm)) << "the set-back clock hides the dead line";
  EXPECT_GE(test_clock::now() - stepped, 120);
  EXPECT_LE(test_clock::now() - stepped, 120 + 10);
}

// Rounds go on through a clock set back by an hour and forward by a day. Set back, the last round
// lies in the future: data stays fresh and no alarm rises. Set forward, a Reset before the next
// round sees a day without a round and raises the communication alarm; that round clears it, and
// no alarm is left standing.
TEST(ClockJumps, SetBackAnHourAndForwardADayWhilePolling) {
  test_clock::Frozen clock(1700000000);
  InProcessHost h(sim::default_model(), kSettings);
  reliability::configure_every_rule(h.device());
  ASSERT_EQ(h.run_rounds(5, 100), 5);
  EXPECT_EQ(h.host().alarms.active_count(), 0u);

  test_clock::advance(-3600);
  h.host().clear_transitions();
  EXPECT_EQ(h.run_rounds(5, 20), 5) << "rounds go on at once";
  EXPECT_EQ(h.get("out_v"), "53.5");
  h.device().Reset();
  EXPECT_EQ(h.host().last_transition(kComm), -1);
  EXPECT_EQ(h.host().alarms.active_count(), 0u);

  test_clock::advance(86400);
  EXPECT_EQ(h.get("out_v"), "数据已超时");
  h.device().Reset();
  EXPECT_TRUE(h.host().alarms.active(kComm));
  EXPECT_EQ(h.run_rounds(5, 20), 5);
  EXPECT_EQ(h.host().last_transition(kComm), 0);
  EXPECT_EQ(h.host().alarms.active_count(), 0u) << "an alarm is left standing";
  EXPECT_EQ(h.get("out_v"), "53.5");
}

}  // namespace
