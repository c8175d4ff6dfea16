#include "klx/history_series.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace klx {
namespace series {
namespace {

struct Fixed {
  const char* name;
  const char* unit;
  Kind kind;
};

// Numbers 0-35 are fixed; 64-103 the modules' currents, 128-167 their states. A number once
// given is never reused: it is stored in the database.
constexpr Fixed kFixed[] = {
    {"dc.voltage", "V", Kind::analog},  {"dc.current", "A", Kind::analog},
    {"dc.power", "W", Kind::analog},    {"rc.voltage", "V", Kind::analog},
    {"rc.current", "A", Kind::analog},  {"ac1.a", "V", Kind::analog},
    {"ac1.b", "V", Kind::analog},       {"ac1.c", "V", Kind::analog},
    {"ac1.f", "Hz", Kind::analog},      {"ac2.a", "V", Kind::analog},
    {"ac2.b", "V", Kind::analog},       {"ac2.c", "V", Kind::analog},
    {"ac2.f", "Hz", Kind::analog},      {"ac.value_a", "", Kind::analog},
    {"ac.value_b", "", Kind::analog},   {"ac.value_c", "", Kind::analog},
    {"dc1.voltage", "V", Kind::analog}, {"dc1.current", "A", Kind::analog},
    {"dc1.power", "W", Kind::analog},   {"dc2.voltage", "V", Kind::analog},
    {"dc2.current", "A", Kind::analog}, {"dc2.power", "W", Kind::analog},
};
constexpr uint8_t kCounts = 32;  // rc.modules, rc.failed, rc.off, ac.lines
const char* const kCountNames[] = {"rc.modules", "rc.failed", "rc.off", "ac.lines"};
constexpr uint8_t kModuleCurrent = 64, kModuleState = 128, kModules = 40;

constexpr uint8_t kDcVoltage = 0, kDcCurrent = 1, kDcPower = 2, kRcVoltage = 3, kRcCurrent = 4,
                  kAcLines = 5, kAcValues = 13, kDcPanels = 16;

void put(Sample& out, uint8_t id, const Reading& r) {
  if (r) out.emplace_back(id, *r);
}

}  // namespace

Kind kind(uint8_t id) {
  if (id < std::size(kFixed)) return kFixed[id].kind;
  if (id >= kCounts && id < kCounts + std::size(kCountNames)) return Kind::last;
  if (id >= kModuleCurrent && id < kModuleCurrent + kModules) return Kind::analog;
  if (id >= kModuleState && id < kModuleState + kModules) return Kind::last;
  return Kind::none;
}

std::string name(uint8_t id) {
  if (id < std::size(kFixed)) return kFixed[id].name;
  if (kind(id) == Kind::none) return "";
  if (id < kModuleCurrent) return kCountNames[id - kCounts];
  if (id < kModuleState) return "rc.m" + std::to_string(id - kModuleCurrent + 1) + ".current";
  return "rc.m" + std::to_string(id - kModuleState + 1) + ".state";
}

const char* unit(uint8_t id) {
  if (id < std::size(kFixed)) return kFixed[id].unit;
  return id >= kModuleCurrent && id < kModuleCurrent + kModules ? "A" : "";
}

std::optional<uint8_t> id_of(const std::string& n) {
  for (uint8_t id : all())
    if (name(id) == n) return id;
  return std::nullopt;
}

std::vector<uint8_t> all() {
  std::vector<uint8_t> out;
  for (unsigned id = 0; id < 256; ++id)
    if (kind(static_cast<uint8_t>(id)) != Kind::none) out.push_back(static_cast<uint8_t>(id));
  return out;
}

std::vector<uint8_t> defaults() {
  return {kDcVoltage, kDcCurrent, kAcLines, kAcLines + 1, kAcLines + 2, kRcCurrent};
}

void sample(const PlantReading& p, Sample& out) {
  out.clear();
  if (!p.valid) return;
  for (const DcPanel& d : p.dc)
    if (d.present) {
      put(out, kDcVoltage, d.voltage);
      break;
    }
  put(out, kDcCurrent, p.dc_current);
  put(out, kDcPower, p.dc_power);
  put(out, kRcVoltage, p.shelf.voltage);
  put(out, kRcCurrent, p.shelf.total_current);
  if (p.ac.present) {
    for (const AcLine& l : p.ac.lines) {
      if (l.number < 1 || l.number > 2) continue;
      const uint8_t base = static_cast<uint8_t>(kAcLines + 4 * (l.number - 1));
      for (uint8_t i = 0; i < 3; ++i) put(out, base + i, l.phase[i]);
      put(out, base + 3, l.frequency);
    }
    for (uint8_t i = 0; i < 3; ++i) put(out, kAcValues + i, p.ac.trailing[i]);
    out.emplace_back(kCounts + 3, static_cast<float>(p.ac.lines.size()));
  }
  for (const DcPanel& d : p.dc) {
    if (!d.present || d.number < 1 || d.number > 2) continue;
    const uint8_t base = static_cast<uint8_t>(kDcPanels + 3 * (d.number - 1));
    put(out, base, d.voltage);
    put(out, base + 1, d.current);
    put(out, base + 2, d.power);
  }
  unsigned failed = 0, off = 0;
  for (const Module& m : p.shelf.modules) {
    failed += m.state == ModuleState::failed;
    off += m.state == ModuleState::off;
    if (m.number < 1 || m.number > kModules) continue;
    put(out, static_cast<uint8_t>(kModuleCurrent + m.number - 1), m.current);
    out.emplace_back(static_cast<uint8_t>(kModuleState + m.number - 1),
                     static_cast<float>(static_cast<int>(m.state)));
  }
  out.emplace_back(kCounts, static_cast<float>(p.shelf.modules.size()));
  out.emplace_back(kCounts + 1, static_cast<float>(failed));
  out.emplace_back(kCounts + 2, static_cast<float>(off));
}

}  // namespace series

namespace {

void put_u16(std::string& s, uint16_t v) {
  s.push_back(static_cast<char>(v & 0xff));
  s.push_back(static_cast<char>(v >> 8));
}

void put_f32(std::string& s, float f) {
  uint32_t v;
  std::memcpy(&v, &f, 4);
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

float get_f32(const uint8_t* p) {
  const uint32_t v = p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
  float f;
  std::memcpy(&f, &v, 4);
  return f;
}

}  // namespace

void SeriesBucket::take(uint8_t id, uint32_t n, float min, float max, double sum, float last) {
  Stat& s = stats_[id];
  if (!s.n) {
    present_.push_back(id);
    s = Stat{n, min, max, sum, last};
    return;
  }
  s.n += n;
  s.min = std::min(s.min, min);
  s.max = std::max(s.max, max);
  s.sum += sum;
  s.last = last;
}

void SeriesBucket::add(const series::Sample& sample) {
  for (const auto& [id, v] : sample) take(id, 1, v, v, v, v);
}

void SeriesBucket::merge(const SeriesBucket& other) {
  for (uint8_t id : other.present_) {
    const Stat& o = other.stats_[id];
    take(id, o.n, o.min, o.max, o.sum, o.last);
  }
}

void SeriesBucket::clear() {
  for (uint8_t id : present_) stats_[id] = Stat{};
  present_.clear();
}

std::string SeriesBucket::encode() const {
  std::vector<uint8_t> ids = present_;
  std::sort(ids.begin(), ids.end());
  std::string out;
  out.reserve(ids.size() * 15);
  for (uint8_t id : ids) {
    const Stat& s = stats_[id];
    out.push_back(static_cast<char>(id));
    if (series::kind(id) != series::Kind::analog) {
      put_f32(out, s.last);
      continue;
    }
    put_u16(out, static_cast<uint16_t>(std::min<uint32_t>(s.n, 0xffff)));
    put_f32(out, s.min);
    put_f32(out, s.max);
    put_f32(out, s.mean());
  }
  return out;
}

bool SeriesBucket::decode(const uint8_t* p, size_t n) {
  clear();
  size_t at = 0;
  while (at < n) {
    const uint8_t id = p[at++];
    const series::Kind k = series::kind(id);
    const size_t need = k == series::Kind::analog ? 14 : 4;
    if (k == series::Kind::none || n - at < need || stats_[id].n) return clear(), false;
    if (k == series::Kind::last) {
      const float v = get_f32(p + at);
      take(id, 1, v, v, v, v);
    } else {
      const uint32_t count = p[at] | p[at + 1] << 8;
      const float mean = get_f32(p + at + 10);
      if (count)
        take(id, count, get_f32(p + at + 2), get_f32(p + at + 6), double(mean) * count, mean);
    }
    at += need;
  }
  return true;
}

}  // namespace klx
