#include "klx/site_model.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "acquisition/byte_reader.h"
#include "acquisition/record.h"

namespace klx {
namespace {

using Record = korvantis_419_Data_t;

Reading reading(const le_f32& v) {
  const float f = v.get();
  if (ByteReader::absent(v.bytes) || is_invalid_marker(f) || !std::isfinite(f)) return {};
  return f;
}

// An option read as the plug-in reads it: present when not null, its text through atoi.
bool option(const Json::Value& app, const char* key, bool fallback) {
  const Json::Value& v = app[key];
  if (v.isNull()) return fallback;
  const std::string text = v.isConvertibleTo(Json::stringValue) ? v.asString() : std::string();
  return std::atoi(text.c_str()) != 0;
}

// A sum of floats carries rounding noise beyond the 6 digits a float holds for certain: 6 x
// 10.13 A is 60.78 A, not 60.780003 A.
Reading to_float_digits(Reading v) {
  if (!v) return v;
  char text[32];
  std::snprintf(text, sizeof text, "%.*g", FLT_DIG, double(*v));
  return std::strtof(text, nullptr);
}

Reading sum(Reading a, Reading b) {
  if (!a) return b;
  if (!b) return a;
  return *a + *b;
}

AcSection read_ac(const Record& r, const DeviceLayout& layout) {
  AcSection ac;
  ac.present = layout.has_ac;
  std::copy(layout.phase, layout.phase + 3, ac.phase_configured);
  if (!ac.present) return ac;
  const unsigned lines = std::min<unsigned>(r.ac.channel_count, AC_CHANNEL_MAX);
  for (unsigned i = 0; i < lines; ++i) {
    const auto& c = r.acChannel[i];
    AcLine line;
    line.number = i + 1;
    const le_f32* phases[3] = {&c.a, &c.b, &c.c};
    const uint8_t alarms[3] = {c.a_alarm, c.b_alarm, c.c_alarm};
    for (unsigned p = 0; p < 3; ++p) {
      if (layout.phase[p]) line.phase[p] = reading(*phases[p]);
      line.phase_alarm[p] = alarms[p];
    }
    line.frequency = reading(c.f);
    line.frequency_alarm = c.f_alarm;
    line.custom_value_count = c.p40_41_count;
    line.custom_alarm_count = c.p40_44_count;
    ac.lines.push_back(line);
  }
  ac.trailing[0] = reading(r.ac.ac_a);
  ac.trailing[1] = reading(r.ac.ac_b);
  ac.trailing[2] = reading(r.ac.ac_c);
  const unsigned switches = std::min<unsigned>(r.ac.airlock_count, Record::ac_t::AIRLOCK_MAX());
  ac.switches.assign(r.ac.airlock, r.ac.airlock + switches);
  ac.alarm[0] = r.ac.ac_a_alarm;
  ac.alarm[1] = r.ac.ac_b_alarm;
  ac.alarm[2] = r.ac.ac_c_alarm;
  ac.custom_count = r.ac.p40_43_count;
  return ac;
}

Shelf read_shelf(const Record& r) {
  Shelf shelf;
  shelf.voltage = reading(r.rc_voltage);
  const unsigned n = std::min<unsigned>(r.rc_channel_count, RC_CHANNEL_MAX);
  for (unsigned i = 0; i < n; ++i) {
    const auto& c = r.rcChannel[i];
    Module m;
    m.number = i + 1;
    m.current = reading(c.current);
    std::copy(c.status, c.status + 3, m.status.begin());
    m.alarm = c.alarm;
    m.custom_counts = {c.p41_41_count, c.p41_43_count, c.p41_44_count};
    m.state = c.alarm != 0       ? ModuleState::failed
              : c.status[0] != 0 ? ModuleState::off
                                 : ModuleState::running;
    shelf.total_current = sum(shelf.total_current, m.current);
    shelf.modules.push_back(m);
  }
  shelf.total_current = to_float_digits(shelf.total_current);
  return shelf;
}

// The record has no panel count: a panel that was never decoded stays all zero (or holds the
// absent marker). A panel with a measured value or a count set is there; the first is there
// whenever DC is polled.
bool panel_seen(const Record::dc_t& p) {
  const auto measured = [](const le_f32& v) {
    const Reading r = reading(v);
    return r && *r != 0.0f;
  };
  return measured(p.voltage) || measured(p.current) || p.m_count != 0 || p.alert_m_count != 0;
}

DcPanel read_panel(const Record::dc_t& p, unsigned number, bool present) {
  DcPanel panel;
  panel.number = number;
  panel.present = present;
  if (!present) return panel;
  panel.voltage = reading(p.voltage);
  panel.current = reading(p.current);
  if (panel.voltage && panel.current) panel.power = *panel.voltage * *panel.current;
  panel.alarm = p.alarm;
  panel.fuse_count = p.alert_m_count;
  panel.extra_alarm_count = p.alert_p_count;
  panel.measurement_counts = {p.m_count, p.n_count, p.p_count};
  return panel;
}

std::string time_text(const uint8_t (&t)[7]) {
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", unsigned(t[0]) << 8 | t[1],
                t[2], t[3], t[4], t[5], t[6]);
  return text;
}

}  // namespace

DeviceLayout layout_of_settings(const Json::Value& settings) {
  DeviceLayout l;
  if (!settings.isObject()) return l;
  const Json::Value& app = settings["appSetting"];
  if (!app.isObject()) return l;
  l.has_ac = option(app, "has_ac", l.has_ac);
  l.has_dc = option(app, "has_dc", l.has_dc);
  const char* phases[3] = {"has_a", "has_b", "has_c"};
  for (unsigned p = 0; p < 3; ++p) l.phase[p] = option(app, phases[p], l.phase[p]);
  return l;
}

const char* module_state_name(ModuleState s) {
  switch (s) {
    case ModuleState::running:
      return "running";
    case ModuleState::off:
      return "off";
    case ModuleState::failed:
      return "failed";
  }
  return "running";
}

PlantReading read_plant(const uint8_t* record, size_t size, const DeviceLayout& layout) {
  PlantReading p;
  if (!record || size != sizeof(Record)) return p;
  Record r;
  std::memcpy(static_cast<void*>(&r), record, sizeof r);
  p.valid = true;
  p.data_id = r.data_id.get();
  p.update_time = time_text(r.update_time);
  p.ac = read_ac(r, layout);
  p.shelf = read_shelf(r);
  p.dc[0] = read_panel(r.dc, 1, layout.has_dc);
  p.dc[1] = read_panel(r.dc_2, 2, layout.has_dc && panel_seen(r.dc_2));
  for (const DcPanel& panel : p.dc) {
    if (!panel.present) continue;
    p.dc_current = sum(p.dc_current, panel.current);
    p.dc_power = sum(p.dc_power, panel.power);
  }
  return p;
}

bool is_comm_alarm(const std::string& key_or_id) {
  return key_or_id.compare(0, std::strlen(kCommAlarmId), kCommAlarmId) == 0;
}

bool device_up(const DeviceModel& d, std::time_t now, std::time_t no_round_timeout) {
  if (!d.fresh.line_up || d.fresh.last_round == 0) return false;
  if (now - d.fresh.last_round > no_round_timeout) return false;
  return std::none_of(d.alarms.begin(), d.alarms.end(),
                      [](const ActiveAlarm& a) { return is_comm_alarm(a.alarm_id); });
}

double age_seconds(const DeviceModel& d, std::time_t now) {
  if (d.fresh.last_round == 0) return -1;
  return std::difftime(now, d.fresh.last_round);
}

}  // namespace klx
