#pragma once

// What the HTTP endpoint shows of each device: copies of the devices' site models made on the
// poll thread, read by the HTTP thread. The HTTP side never reaches the device, its line or its
// counters.

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "export_sink.h"
#include "hub.h"
#include "klx/site_model.h"
#include "line_health.h"

namespace klxhost {

// Round durations in seconds, as a Prometheus histogram.
struct DurationHistogram {
  static constexpr std::array<double, 9> kBounds{0.5, 1, 2, 3, 5, 10, 30, 60, 120};
  std::array<uint64_t, kBounds.size()> counts{};  // per bound, not cumulative
  uint64_t count = 0;
  double sum = 0;
  void add(double seconds);
};

struct DeviceView {
  klx::DeviceModel model;  // as of the last round, with alarms, line and counters kept current
  LineHealthView health;   // exchanges 0: nothing to show
  DurationHistogram durations;
};

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
  std::map<uint32_t, size_t> index_;            // data_id: its place in devices_
  std::map<uint32_t, CounterSources> sources_;  // poll thread only
  std::chrono::steady_clock::time_point next_copy_{};
};

}  // namespace klxhost
