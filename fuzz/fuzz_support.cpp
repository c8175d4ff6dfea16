#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>

namespace {

constexpr time_t kStart = 1700000000;
time_t g_now = kStart;

// Rules grow with the module count and the fuse counts an answer announces; this is far above
// what the largest answer can make.
constexpr size_t kMaxRulesPerBatch = 2000;

// Every code any rule can look up: a device with the largest counts builds the mode-2 rules
// once, which enters each code it looks up into its level table.
std::map<std::string, int> every_alarm_level() {
  korvantis_419 dev;
  dev.b_mode_ = 2;
  dev.has_ac_ = true;
  dev.has_dc_ = true;
  dev.data_.rc_channel_count = RC_CHANNEL_MAX;
  dev.data_.ac.channel_count = AC_CHANNEL_MAX;
  dev.data_.dc.alert_m_count = 255;
  dev.data_.dc_2.alert_m_count = 255;
  dev.RunCheckThreshold();
  std::map<std::string, int> levels = dev.alarm_levels_;
  levels["120600180010"] = 0;
  int i = 0;
  for (auto& entry : levels) entry.second = 1 + i++ % 3;
  return levels;
}

KLXVDevice::BAOSetting report_setting(int kind) {
  KLXVDevice::BAOSetting s;
  s.abs_enabled = kind & 1;
  s.abs_delta = 2.0f;
  s.pct_enabled = kind & 2;
  s.pct_delta = 5.0f;
  s.period_enabled = kind & 4;
  s.period_minutes = 1.0f;
  return s;
}

const std::map<std::string, KLXVDevice::BAOSetting>& report_settings() {
  static const std::map<std::string, KLXVDevice::BAOSetting> s = {
      {"419610401001", report_setting(7)},
      {"419613901001", report_setting(2)},
      {"419620401001", report_setting(1)},
      {"419620301001", report_setting(4)},
  };
  return s;
}

}  // namespace

// The device reads the wall clock through time() alone (Boost's local time included).
extern "C" time_t time(time_t* out) {
  if (out) *out = g_now;
  return g_now;
}

namespace fuzz_clock {
void reset() { g_now = kStart; }
void advance(long seconds) { g_now += seconds; }
}  // namespace fuzz_clock

void apply_random_options(korvantis_419& dev, FuzzInput& in) {
  const uint8_t flags = in.byte();
  dev.has_ac_ = flags & 0x01;
  dev.has_dc_ = flags & 0x02;
  dev.has_tower_ = flags & 0x04;
  dev.has_a_ = flags & 0x08;
  dev.has_b_ = flags & 0x10;
  dev.has_c_ = flags & 0x20;
  dev.data_valid_ = (flags & 0x40) ? 1 : 0;
  static const int32_t dc_layouts[] = {-1, 1, 2, 0};
  dev.no_dc_number_ = dc_layouts[(flags >> 6) & 3];
  const uint8_t more = in.byte();
  dev.skip_41_41_ = more & 0x07;
  dev.dc_i_adjust_ = static_cast<int8_t>(in.byte());
  dev.ac_line_ = (more >> 3) & 3;
  dev.ac_type_ = (more >> 5) & 1;
  dev.b_mode_ = (more >> 6) & 3;
  dev.data_.rc_channel_count = in.byte();
  dev.data_.ac.channel_count = in.byte();
}

void configure_every_rule(korvantis_419& dev) {
  static const std::map<std::string, int> levels = every_alarm_level();
  dev.alarm_levels_ = levels;
  dev.thresholds_ = {{"220600160010", 55.0f},
                     {"220600170010", 45.0f},
                     {"210600320010", 47.0f},
                     {"210600330010", 45.0f},
                     {"210600340010", 58.0f}};
  dev.ao_settings_ = report_settings();
}

size_t configured_report_settings() { return report_settings().size(); }

void prepare_device(korvantis_419& dev, CheckingEvents& events, FuzzInput& in) {
  dev.set_events(&events);
  configure_every_rule(dev);
  apply_random_options(dev, in);
}

void require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "broken promise: %s\n", what);
  std::abort();
}

void CheckingEvents::on_publish(KLXVDevice&, int sp_id, const uint8_t* record, size_t length) {
  require(sp_id == 5535 && record && length == sizeof(korvantis_419_Data_t), "published record");
}

void CheckingEvents::on_history(KLXVDevice&, const uint8_t* record, size_t length) {
  require(record && length == sizeof(korvantis_419_Data_t), "history record");
}

bool CheckingEvents::on_batch(KLXVDevice&, const std::vector<rule_value>& rules) {
  require(rules.size() < kMaxRulesPerBatch, "rules per batch");
  for (const auto& r : rules) require(r.level != 0 && !r.key.empty(), "rule level and key");
  return true;
}

void CheckingEvents::on_report(KLXVDevice&, const std::string& id, float) {
  require(!id.empty(), "report identifier");
}

void silence_stdout() {
  if (!std::freopen("/dev/null", "w", stdout)) std::perror("freopen");
}
