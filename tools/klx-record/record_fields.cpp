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

// The record's own field list (its visit()), turned into paths for a Visitor.
struct Paths {
  std::string prefix;
  Visitor& v;

  void field(const std::string& name, le_u32& x) { v.u32(prefix + name, x); }
  void field(const std::string& name, le_f32& x) { v.f32(prefix + name, x); }
  void field(const std::string& name, uint8_t& x) { v.u8(prefix + name, x); }
  template <class T>
  void list(const char* name, T* items, unsigned count) {
    for (unsigned i = 0; i < count; ++i) field(item(name, i), items[i]);
  }
  template <class S>
  void group(const std::string& name, S& s) {
    Paths inner{prefix + name + ".", v};
    s.visit(inner);
  }
  template <class S>
  void groups(const char* name, S* items, unsigned count) {
    for (unsigned i = 0; i < count; ++i) group(item(name, i), items[i]);
  }
  void time(const char* name, uint8_t (&t)[7]) { v.time7(prefix + name, t); }
  void reserved(const uint8_t*, size_t) {}
};

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
  Paths paths{"", v};
  rec.visit(paths);
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
