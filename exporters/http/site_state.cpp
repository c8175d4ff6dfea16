#include "site_state.h"

#include <algorithm>

#include "klx/site_model.h"

namespace klxhost {

void DurationHistogram::add(double seconds) {
  const auto at = std::lower_bound(kBounds.begin(), kBounds.end(), seconds);
  if (at != kBounds.end()) ++counts[static_cast<size_t>(at - kBounds.begin())];
  ++count;
  sum += seconds;
}

bool device_up(const DeviceView& d, std::time_t now) {
  if (d.last_round == 0 || now - d.last_round > kStaleAfter) return false;
  return std::none_of(d.alarms.begin(), d.alarms.end(),
                      [](const auto& a) { return a.second.alarm_id == klx::kCommAlarmId; });
}

DeviceView& SiteState::device(uint32_t data_id) {
  for (auto& d : devices_)
    if (d.data_id == data_id) return d;
  devices_.emplace_back();
  devices_.back().data_id = data_id;
  return devices_.back();
}

void SiteState::watch(uint32_t data_id, const std::string& port, CounterSources sources) {
  sources_[data_id] = sources;
  std::lock_guard<std::mutex> lock(mutex_);
  device(data_id).port = port;
}

void SiteState::round_completed(const RoundEvent& e) {
  std::lock_guard<std::mutex> lock(mutex_);
  DeviceView& d = device(e.data_id);
  d.rounds = e.round;
  d.last_round = e.time;
  if (e.record) d.record = *e.record;
  d.durations.add(e.duration.count());
}

void SiteState::alarm_changed(const AlarmEvent& e) {
  if (!e.transition) return;
  const klx::AlarmTransition& t = *e.transition;
  std::lock_guard<std::mutex> lock(mutex_);
  DeviceView& d = device(e.data_id);
  if (t.raised)
    d.alarms[t.key] = AlarmView{t.alarm_id, t.level, t.text1, t.text2, e.time};
  else
    d.alarms.erase(t.key);
}

void SiteState::line_changed(const LineEvent& e) {
  std::lock_guard<std::mutex> lock(mutex_);
  DeviceView& d = device(e.data_id);
  d.line_up = e.up;
  d.port = e.describe;
  d.line_error = e.why;
}

void SiteState::refresh_counters(std::chrono::steady_clock::time_point now,
                                 std::chrono::milliseconds every) {
  if (now < next_copy_) return;
  next_copy_ = now + every;
  copy_counters();
}

void SiteState::copy_counters() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [id, src] : sources_) {
    DeviceView& d = device(id);
    if (src.protocol) d.protocol = *src.protocol;
    if (src.frames) d.frames = *src.frames;
    if (src.link) d.link = *src.link;
    if (src.health) d.health = src.health->view(std::chrono::steady_clock::now());
  }
}

std::vector<DeviceView> SiteState::snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return devices_;
}

}  // namespace klxhost
