#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>

#include "support/rule_catalogue.h"

namespace {

constexpr time_t kStart = 1700000000;
time_t g_now = kStart;

// Rules grow with the module count and the fuse counts an answer announces; this is far above
// what the largest answer can make.
constexpr size_t kMaxRulesPerBatch = 2000;

// Levels 1, 2 and 3 in turn over the catalogue's codes.
int cycling_level(size_t i) { return 1 + static_cast<int>(i % 3); }

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

// Each report key of the catalogue with another mix of steps and period.
std::map<std::string, KLXVDevice::BAOSetting> make_report_settings() {
  static const int kinds[] = {7, 2, 1, 4};
  std::map<std::string, KLXVDevice::BAOSetting> s;
  const auto& keys = rule_catalogue::every_rule().report_keys;
  for (size_t i = 0; i < keys.size(); ++i) s[keys[i]] = report_setting(kinds[i % 4]);
  return s;
}

const std::map<std::string, KLXVDevice::BAOSetting>& report_settings() {
  static const std::map<std::string, KLXVDevice::BAOSetting> s = make_report_settings();
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
  dev.alarm_levels_.clear();
  dev.thresholds_.clear();
  rule_catalogue::configure(dev, cycling_level);
  dev.ao_settings_ = report_settings();
}

size_t configured_report_settings() { return report_settings().size(); }

size_t report_identifiers() { return rule_catalogue::every_rule().report_identifiers; }

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
