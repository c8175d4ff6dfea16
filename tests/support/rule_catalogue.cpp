#include "support/rule_catalogue.h"

#include <iterator>
#include <stdexcept>

namespace rule_catalogue {
namespace {

// Limits of a healthy 48 V system under the codes that read one: 55 Hz and 45 Hz for the mains
// frequency, 47 V, 45 V and 58 V for the DC bus.
const std::map<std::string, float> kHealthyLimits = {{"220600160010", 55.0f},
                                                     {"220600170010", 45.0f},
                                                     {"210600320010", 47.0f},
                                                     {"210600330010", 45.0f},
                                                     {"210600340010", 58.0f}};

// Phase voltages of either identifier family, frequencies, DC current and DC voltage.
const char* const kReportKeys[] = {"419610401001", "419610801001", "419613901001", "419620401001",
                                   "419620301001"};

// A device announcing the largest counts (every module, both mains lines checked, two DC panels
// of 255 load fuses each) in `mode`, its phase voltages under the identifier family `ac_type`.
void fill(korvantis_419& dev, int mode, int ac_type) {
  dev.b_mode_ = mode;
  dev.ac_type_ = ac_type;
  dev.ac_line_ = 3;
  dev.has_ac_ = true;
  dev.has_dc_ = true;
  dev.data_.rc_channel_count = RC_CHANNEL_MAX;
  dev.data_.ac.channel_count = AC_CHANNEL_MAX;
  dev.data_.dc.alert_m_count = 255;
  dev.data_.dc_2.alert_m_count = 255;
  dev.dc_number_ = 2;
}

// The level and threshold tables are read with their subscript, which enters every code looked
// up; the report table grows by each identifier on its first use.
Catalogue discover() {
  Catalogue c;
  std::map<std::string, int> levels;
  std::map<std::string, KLXVDevice::BAOSetting> reports;
  const struct { int mode, ac_type; } runs[] = {{2, 0}, {1, 0}, {1, 1}};
  for (const auto& run : runs) {
    korvantis_419 probe;
    fill(probe, run.mode, run.ac_type);
    for (const char* key : kReportKeys) probe.ao_settings_[key] = {};
    probe.RunCheckThreshold();
    probe.Reset();
    // A rule reads its threshold only when its code has a level: once more with every level.
    for (auto& entry : probe.alarm_levels_) entry.second = 1;
    probe.RunCheckThreshold();
    levels.insert(probe.alarm_levels_.begin(), probe.alarm_levels_.end());
    for (const auto& entry : probe.thresholds_) {
      const auto limit = kHealthyLimits.find(entry.first);
      if (limit == kHealthyLimits.end())
        throw std::logic_error("rule catalogue: no healthy limit for threshold " + entry.first);
      c.thresholds.insert(*limit);
    }
    reports.insert(probe.ao_settings_.begin(), probe.ao_settings_.end());
  }
  for (const auto& entry : levels) c.alarm_codes.push_back(entry.first);
  c.report_keys.assign(std::begin(kReportKeys), std::end(kReportKeys));
  c.report_identifiers = reports.size() - c.report_keys.size();
  return c;
}

}  // namespace

const Catalogue& every_rule() {
  static const Catalogue c = discover();
  return c;
}

klx::DeviceTables tables(int (*level_of)(size_t)) {
  const Catalogue& c = every_rule();
  klx::DeviceTables t;
  for (size_t i = 0; i < c.alarm_codes.size(); ++i)
    t.alarm_levels[c.alarm_codes[i]] = level_of ? level_of(i) : 1;
  t.thresholds = c.thresholds;
  return t;
}

void configure(korvantis_419& dev, int (*level_of)(size_t)) {
  const klx::DeviceTables t = tables(level_of);
  for (const auto& entry : t.alarm_levels) dev.alarm_levels_[entry.first] = entry.second;
  for (const auto& entry : t.thresholds) dev.thresholds_[entry.first] = entry.second;
}

}  // namespace rule_catalogue
