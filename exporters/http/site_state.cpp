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

DeviceView& SiteState::device(uint32_t data_id) {
  const auto [at, added] = index_.emplace(data_id, devices_.size());
  if (added) {
    devices_.emplace_back();
    devices_.back().model.data_id = data_id;
  }
  return devices_[at->second];
}

void SiteState::watch(uint32_t data_id, const std::string& port, CounterSources sources) {
  sources_[data_id] = sources;
  std::lock_guard<std::mutex> lock(mutex_);
  device(data_id).model.port = port;
}

void SiteState::round_completed(const RoundEvent& e) {
  if (!e.model) return;
  std::lock_guard<std::mutex> lock(mutex_);
  DeviceView& d = device(e.data_id);
  d.model = *e.model;
  d.durations.add(e.duration.count());
}

// Between rounds the copy follows the transitions, so the page shows an alarm at once.
void SiteState::alarm_changed(const AlarmEvent& e) {
  if (!e.transition) return;
  const klx::AlarmTransition& t = *e.transition;
  std::lock_guard<std::mutex> lock(mutex_);
  auto& alarms = device(e.data_id).model.alarms;
  const auto at =
      std::lower_bound(alarms.begin(), alarms.end(), t.key,
                       [](const klx::ActiveAlarm& a, const std::string& k) { return a.key < k; });
  const bool there = at != alarms.end() && at->key == t.key;
  if (t.raised) {
    const klx::ActiveAlarm a{t.key, t.alarm_id, t.level, t.text1, t.text2, e.time};
    if (there)
      *at = a;
    else
      alarms.insert(at, a);
  } else if (there) {
    alarms.erase(at);
  }
}

void SiteState::line_changed(const LineEvent& e) {
  std::lock_guard<std::mutex> lock(mutex_);
  klx::DeviceModel& m = device(e.data_id).model;
  m.fresh.line_up = e.up;
  m.port = e.describe;
  m.fresh.line_error = e.why;
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
    klx::LineCounters& c = d.model.counters;
    if (src.protocol) c.protocol = *src.protocol;
    if (src.frames) c.frames = *src.frames;
    if (src.link) c.link = *src.link;
    if (src.health) d.health = src.health->view(std::chrono::steady_clock::now());
  }
}

std::vector<DeviceView> SiteState::snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return devices_;
}

}  // namespace klxhost
