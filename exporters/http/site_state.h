#pragma once

// What the HTTP endpoint shows of each device: copies made on the poll thread, read by the HTTP
// thread. The HTTP side never reaches the device, its line or its counters.

#include <array>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "export_sink.h"
#include "klx/frame.h"
#include "klx/link.h"
#include "klx/pmbus_protocol.h"
#include "line_health.h"

namespace klxhost {

// The counters of one device's line, owned by the runner; read on the poll thread only.
struct CounterSources {
  const klx::ProtocolCounters* protocol = nullptr;
  const klx::FrameCounters* frames = nullptr;
  const klx::LinkCounters* link = nullptr;
  const LineHealth* health = nullptr;
};

struct AlarmView {
  std::string alarm_id;
  int level = 0;
  std::string text1;  // the value or condition text
  std::string text2;  // the alarm's name
  std::time_t since = 0;
};

// Round durations in seconds, as a Prometheus histogram.
struct DurationHistogram {
  static constexpr std::array<double, 9> kBounds{0.5, 1, 2, 3, 5, 10, 30, 60, 120};
  std::array<uint64_t, kBounds.size()> counts{};  // per bound, not cumulative
  uint64_t count = 0;
  double sum = 0;
  void add(double seconds);
};

struct DeviceView {
  uint32_t data_id = 0;
  std::string port;
  bool line_up = true;
  std::string line_error;
  unsigned rounds = 0;
  std::time_t last_round = 0;  // 0: no round yet
  std::vector<uint8_t> record;
  klx::ProtocolCounters protocol;
  klx::FrameCounters frames;
  klx::LinkCounters link;
  LineHealthView health;                    // exchanges 0: nothing to show
  std::map<std::string, AlarmView> alarms;  // active ones, by key
  DurationHistogram durations;
};

// Data older than this counts as down.
constexpr std::time_t kStaleAfter = 60;

// Up: a round within kStaleAfter of `now` and no communication alarm.
bool device_up(const DeviceView& d, std::time_t now);

// The shared copies. Every method takes the lock briefly; the HTTP side works on a snapshot.
class SiteState {
 public:
  void watch(uint32_t data_id, const std::string& port, CounterSources sources);
  void round_completed(const RoundEvent& e);
  void alarm_changed(const AlarmEvent& e);
  void line_changed(const LineEvent& e);
  // Copies the counters; the poll loop calls it on its passes, at most every `every`.
  void refresh_counters(std::chrono::steady_clock::time_point now, std::chrono::milliseconds every);
  void copy_counters();

  std::vector<DeviceView> snapshot() const;

 private:
  DeviceView& device(uint32_t data_id);

  mutable std::mutex mutex_;
  std::vector<DeviceView> devices_;
  std::map<uint32_t, CounterSources> sources_;  // poll thread only
  std::chrono::steady_clock::time_point next_copy_{};
};

}  // namespace klxhost
