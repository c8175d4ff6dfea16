#include "record_fields.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace record_fields {
namespace {

std::string item(const std::string& path, unsigned i) {
  return path + "[" + std::to_string(i) + "]";
}

template <class Ac>
void walk_ac(const std::string& p, Ac& ac, Visitor& v) {
  v.f32(p + "ac_a", ac.ac_a);
  v.f32(p + "ac_b", ac.ac_b);
  v.f32(p + "ac_c", ac.ac_c);
  v.u8(p + "channel_count", ac.channel_count);
  v.u8(p + "airlock_count", ac.airlock_count);
  for (unsigned i = 0; i < Ac::AIRLOCK_MAX(); ++i) v.u8(item(p + "airlock", i), ac.airlock[i]);
  v.u8(p + "p40_43_count", ac.p40_43_count);
  for (unsigned i = 0; i < Ac::P40_43_SIZE(); ++i) v.u8(item(p + "p40_43", i), ac.p40_43[i]);
  v.u8(p + "ac_a_alarm", ac.ac_a_alarm);
  v.u8(p + "ac_b_alarm", ac.ac_b_alarm);
  v.u8(p + "ac_c_alarm", ac.ac_c_alarm);
}

template <class Line>
void walk_ac_line(const std::string& p, Line& l, Visitor& v) {
  v.f32(p + "a", l.a);
  v.f32(p + "b", l.b);
  v.f32(p + "c", l.c);
  v.f32(p + "f", l.f);
  v.u8(p + "p40_41_count", l.p40_41_count);
  for (unsigned i = 0; i < Line::P40_41_SIZE(); ++i) v.f32(item(p + "p40_41", i), l.p40_41[i]);
  v.u8(p + "a_alarm", l.a_alarm);
  v.u8(p + "b_alarm", l.b_alarm);
  v.u8(p + "c_alarm", l.c_alarm);
  v.u8(p + "f_alarm", l.f_alarm);
  v.u8(p + "p40_44_count", l.p40_44_count);
  for (unsigned i = 0; i < Line::p40_44_SIZE(); ++i) v.u8(item(p + "p40_44", i), l.p40_44[i]);
}

template <class Module>
void walk_module(const std::string& p, Module& m, Visitor& v) {
  v.f32(p + "current", m.current);
  v.u8(p + "p41_41_count", m.p41_41_count);
  for (unsigned i = 0; i < Module::P41_41_SIZE(); ++i) v.f32(item(p + "p41_41", i), m.p41_41[i]);
  for (unsigned i = 0; i < 3; ++i) v.u8(item(p + "status", i), m.status[i]);
  v.u8(p + "p41_43_count", m.p41_43_count);
  for (unsigned i = 0; i < Module::P41_43_SIZE(); ++i) v.u8(item(p + "p41_43", i), m.p41_43[i]);
  v.u8(p + "alarm", m.alarm);
  v.u8(p + "p41_44_count", m.p41_44_count);
  for (unsigned i = 0; i < Module::P41_44_SIZE(); ++i) v.u8(item(p + "p41_44", i), m.p41_44[i]);
}

template <class Dc>
void walk_dc(const std::string& p, Dc& d, Visitor& v) {
  v.f32(p + "voltage", d.voltage);
  v.f32(p + "current", d.current);
  v.u8(p + "m_count", d.m_count);
  for (unsigned i = 0; i < Dc::M_SIZE(); ++i) v.f32(item(p + "m", i), d.m[i]);
  v.u8(p + "n_count", d.n_count);
  for (unsigned i = 0; i < Dc::N_SIZE(); ++i) v.f32(item(p + "n", i), d.n[i]);
  v.u8(p + "p_count", d.p_count);
  for (unsigned i = 0; i < Dc::P_SIZE(); ++i) v.f32(item(p + "p", i), d.p[i]);
  v.u8(p + "alarm", d.alarm);
  v.u8(p + "alert_m_count", d.alert_m_count);
  for (unsigned i = 0; i < Dc::ALERT_M_SIZE(); ++i) v.u8(item(p + "alert_m", i), d.alert_m[i]);
  v.u8(p + "alert_p_count", d.alert_p_count);
  for (unsigned i = 0; i < Dc::ALERT_P_SIZE(); ++i) v.u8(item(p + "alert_p", i), d.alert_p[i]);
}

template <class T, size_t N>
constexpr size_t count_of(T (&)[N]) {
  return N;
}

// Collects the display text of one path.
struct FindText : Visitor {
  std::string want, text;
  bool found = false;
  void hit(const std::string& path, const std::string& t) {
    if (path == want) text = t, found = true;
  }
  void u32(const std::string& p, le_u32& v) override { hit(p, std::to_string(v.get())); }
  void f32(const std::string& p, le_f32& v) override { hit(p, float_text(v.get())); }
  void u8(const std::string& p, uint8_t& v) override { hit(p, std::to_string(v)); }
  void time7(const std::string& p, uint8_t (&t)[7]) override { hit(p, time_text(t)); }
};

struct ListPaths : Visitor {
  std::vector<std::string> paths;
  void u32(const std::string& p, le_u32&) override { paths.push_back(p); }
  void f32(const std::string& p, le_f32&) override { paths.push_back(p); }
  void u8(const std::string& p, uint8_t&) override { paths.push_back(p); }
  void time7(const std::string& p, uint8_t (&)[7]) override { paths.push_back(p); }
};

}  // namespace

void walk(korvantis_419_Data_t& rec, Visitor& v) {
  v.u32("data_id", rec.data_id);
  walk_ac("ac.", rec.ac, v);
  for (unsigned i = 0; i < count_of(rec.acChannel); ++i)
    walk_ac_line(item("acChannel", i) + ".", rec.acChannel[i], v);
  v.f32("rc_voltage", rec.rc_voltage);
  v.u8("rc_channel_count", rec.rc_channel_count);
  for (unsigned i = 0; i < count_of(rec.rcChannel); ++i)
    walk_module(item("rcChannel", i) + ".", rec.rcChannel[i], v);
  walk_dc("dc.", rec.dc, v);
  v.time7("update_time", rec.update_time);
  walk_dc("dc_2.", rec.dc_2, v);
}

bool is_invalid_marker(float f) {
  const float marker = -0.1f;
  return std::memcmp(&f, &marker, sizeof f) == 0;
}

std::string rectifier_current_text(const korvantis_419_Data_t& rec) {
  const unsigned n = std::min<unsigned>(rec.rc_channel_count, RC_CHANNEL_MAX);
  double total = 0.0;
  for (unsigned i = 0; i < n; ++i) total += rec.rcChannel[i].current.get();
  if (!std::isfinite(total)) return float_text(static_cast<float>(total));
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.*g", FLT_DIG, total);
  return buf;
}

std::string float_text(float f) {
  if (is_invalid_marker(f)) return "invalid";
  if (std::isnan(f)) return "nan";
  if (std::isinf(f)) return f > 0 ? "inf" : "-inf";
  char buf[32];
  for (int digits = 6; digits <= 9; ++digits) {
    std::snprintf(buf, sizeof buf, "%.*g", digits, static_cast<double>(f));
    if (std::strtof(buf, nullptr) == f) break;
  }
  return buf;
}

std::string time_text(const uint8_t (&t)[7]) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", unsigned(t[0]) << 8 | t[1], t[2],
                t[3], t[4], t[5], t[6]);
  return buf;
}

bool parse_time(const std::string& text, uint8_t (&t)[7]) {
  unsigned y, mo, d, h, mi, s;
  char tail;
  if (std::sscanf(text.c_str(), "%u-%u-%u %u:%u:%u%c", &y, &mo, &d, &h, &mi, &s, &tail) != 6)
    return false;
  if (y > 0xFFFF || mo > 255 || d > 255 || h > 255 || mi > 255 || s > 255) return false;
  const uint8_t b[7] = {uint8_t(y >> 8), uint8_t(y),  uint8_t(mo), uint8_t(d),
                        uint8_t(h),      uint8_t(mi), uint8_t(s)};
  std::memcpy(t, b, 7);
  return true;
}

bool field_text(korvantis_419_Data_t& rec, const std::string& path, std::string& out) {
  FindText f;
  f.want = path;
  walk(rec, f);
  if (f.found) out = f.text;
  return f.found;
}

std::vector<std::string> field_paths() {
  korvantis_419_Data_t rec{};
  ListPaths l;
  walk(rec, l);
  return l.paths;
}

}  // namespace record_fields
