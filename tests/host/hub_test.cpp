// One device's hub: what the sinks and the cache get from a device's publications, alarms and
// rounds.
#ifdef KLX_HAVE_RUNNER

#include "hub.h"

#include <gtest/gtest.h>

#include <cstring>

#include "acquisition/record.h"

namespace klxhost {
namespace {

struct Seen : ExportSink {
  std::vector<klx::DeviceModel> rounds;
  std::vector<std::string> events;
  void round_completed(const RoundEvent& e) override {
    ASSERT_NE(e.model, nullptr);
    rounds.push_back(*e.model);
    events.push_back("round " + std::to_string(e.round));
  }
  void alarm_changed(const AlarmEvent& e) override {
    events.push_back((e.transition->raised ? "raise " : "clear ") + e.transition->key);
  }
  void line_changed(const LineEvent& e) override { events.push_back(e.up ? "up" : "down"); }
};

std::vector<uint8_t> record_with_modules(unsigned n) {
  korvantis_419_Data_t rec{};
  rec.data_id = 7;
  rec.rc_channel_count = static_cast<uint8_t>(n);
  for (auto& m : rec.rcChannel) m.current = 10.0f;
  const auto* p = reinterpret_cast<const uint8_t*>(&rec);
  return std::vector<uint8_t>(p, p + sizeof rec);
}

// Each round's model is built from the latest publication, carries the alarms active at its end
// and the line state; the cache gets every publication; events reach the sinks in order.
TEST(DeviceHub, RoundsCarryTheLatestRecordAlarmsAndLine) {
  Seen seen;
  const std::vector<ExportSink*> sinks{&seen};
  klx::RecordCache cache;
  DeviceHub hub(7, klx::DeviceLayout{}, {&cache, nullptr, &sinks});
  const klx::AlarmTransition raise{true, 1, "k1", "a1", "t1", "n1"};
  klx::AlarmTransition clear = raise;
  clear.raised = false;

  const auto r3 = record_with_modules(3), r2 = record_with_modules(2);
  ASSERT_TRUE(hub.published(1, r3.data(), r3.size()));
  ASSERT_TRUE(hub.alarms_changed(100, {raise}));
  hub.round_completed(1, 100, std::chrono::seconds(2));
  hub.line_changed(false, "tcp:x:1", "refused");
  ASSERT_TRUE(hub.published(1, r2.data(), r2.size()));
  ASSERT_TRUE(hub.alarms_changed(102, {clear}));
  hub.round_completed(2, 102, std::chrono::seconds(2));

  ASSERT_EQ(seen.rounds.size(), 2u);
  EXPECT_EQ(seen.rounds[0].plant.shelf.modules.size(), 3u);
  ASSERT_EQ(seen.rounds[0].alarms.size(), 1u);
  EXPECT_EQ(seen.rounds[0].alarms[0].since, 100);
  EXPECT_EQ(seen.rounds[1].plant.shelf.modules.size(), 2u) << "no module beyond the new count";
  EXPECT_TRUE(seen.rounds[1].alarms.empty());
  EXPECT_FALSE(seen.rounds[1].fresh.line_up);
  EXPECT_EQ(seen.rounds[1].fresh.last_round, 102);
  EXPECT_EQ(seen.events,
            (std::vector<std::string>{"raise k1", "round 1", "down", "clear k1", "round 2"}));
  ASSERT_NE(cache.latest(7), nullptr);
  EXPECT_EQ(cache.latest(7)->record, r2);
}

}  // namespace
}  // namespace klxhost

#endif  // KLX_HAVE_RUNNER
