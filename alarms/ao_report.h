#pragma once

#include <cstdint>
#include <string>

#include "device/clock.h"
#include "device/uni_data_device.h"

// Analog change reporting. A report identifier takes over the whole setting of its setting key
// on first use (last value and time included) and from then on keeps its own last report, so
// signals that share one setting are reported independently. Everything is single precision, the
// bounds computed in the order written below, so reports fall exactly where the host expects.
template <class Data, class Protocol, int SpId>
int UniDataDevice<Data, Protocol, SpId>::CheckAOReport(const std::string& setting_key,
                                                       const std::string& report_id, float value) {
  auto& settings = this->ao_settings_;
  auto entry = settings.find(report_id);
  if (entry == settings.end()) {
    const auto shared = settings.find(setting_key);
    if (shared == settings.end()) return 0;
    entry = settings.emplace(report_id, shared->second).first;
  }
  KLXVDevice::BAOSetting& s = entry->second;

  bool due = false;
  if (s.abs_enabled) {
    if (value > s.last_value + s.abs_delta || value < s.last_value - s.abs_delta) due = true;
  }
  if (s.pct_enabled) {
    const float upper = s.last_value * (s.pct_delta + 100.0f) / 100.0f;
    const float lower = s.last_value * (100.0f - s.pct_delta) / 100.0f;
    if (value > upper || value < lower) due = true;
  }
  if (s.period_enabled) {
    // Seconds as float: above 2^30 both sides round to multiples of 128 s.
    const float now = static_cast<float>(device_clock::epoch_now());
    if (now > static_cast<float>(s.last_time) + s.period_minutes * 60.0f) due = true;
  }
  if (!due) return 0;

  s.last_value = value;
  s.last_time = static_cast<uint32_t>(device_clock::epoch_now());
  this->KLXVDevice::CheckAOReport(report_id, value);
  return 1;
}
