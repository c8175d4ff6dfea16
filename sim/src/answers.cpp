#include "sim/answers.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace sim {
namespace {

// Lays down wire values the way the firmware sends them: floats least significant byte first,
// counts as one byte before their items.
class InfoWriter {
 public:
  void u8(uint8_t b) { out_.push_back(b); }
  void bytes(const Bytes& b) { out_.insert(out_.end(), b.begin(), b.end()); }
  void counted(const Bytes& b) {
    u8(static_cast<uint8_t>(b.size()));
    bytes(b);
  }
  void value(const WireValue& v) {
    if (v.is_absent()) {
      for (int i = 0; i < 4; ++i) u8(v.absent_byte);
      return;
    }
    uint32_t u;
    std::memcpy(&u, &v.value, 4);
    for (int i = 0; i < 4; ++i) u8(static_cast<uint8_t>(u >> (8 * i)));
  }
  void counted(const std::vector<WireValue>& values) {
    u8(static_cast<uint8_t>(values.size()));
    for (const auto& v : values) value(v);
  }
  Bytes take() { return std::move(out_); }

 private:
  Bytes out_;
};

bool any_set(const Bytes& b) {
  return std::any_of(b.begin(), b.end(), [](uint8_t x) { return x != 0; });
}
template <size_t N>
bool any_set(const std::array<uint8_t, N>& b) {
  return std::any_of(b.begin(), b.end(), [](uint8_t x) { return x != 0; });
}

std::array<uint8_t, 4> line_alarms(const AcLine& line) {
  auto a = line.alarms;
  if (line.failed) a[0] = a[1] = a[2] = line.failure_alarm;
  return a;
}

// The panels a DC answer carries: without the panel-count byte the firmware has one panel.
size_t dc_panels_sent(const Model& m) {
  return m.quirks.no_dc_number ? std::min<size_t>(1, m.dc.panels.size()) : m.dc.panels.size();
}

}  // namespace

bool mains_down(const AcSection& ac) {
  if (!ac.present || ac.lines.empty()) return false;
  return std::all_of(ac.lines.begin(), ac.lines.end(), [](const AcLine& l) { return l.failed; });
}

bool ac_alarm_active(const AcSection& ac) {
  if (any_set(ac.alarms)) return true;
  return std::any_of(ac.lines.begin(), ac.lines.end(), [](const AcLine& l) {
    return l.failed || any_set(l.alarms) || any_set(l.fuses) || any_set(l.extra_alarms);
  });
}

bool rc_alarm_active(const RectifierSection& rc) {
  return std::any_of(rc.modules.begin(), rc.modules.end(), [](const Module& mod) {
    return mod.failed || mod.alarm != 0 || any_set(mod.extra_alarms);
  });
}

bool dc_alarm_active(const DcSection& dc) {
  return std::any_of(dc.panels.begin(), dc.panels.end(), [](const DcPanel& p) {
    return p.alarm != 0 || any_set(p.fuses) || any_set(p.extra_alarms);
  });
}

uint8_t ac_data_flag(const AcSection& ac) {
  return ac.data_flag | ac.pending_flags | (ac_alarm_active(ac) ? 0x01 : 0x00);
}
uint8_t rc_data_flag(const RectifierSection& rc) {
  return rc.data_flag | rc.pending_flags | (rc_alarm_active(rc) ? 0x01 : 0x00);
}
uint8_t dc_data_flag(const DcSection& dc) {
  return dc.data_flag | dc.pending_flags | (dc_alarm_active(dc) ? 0x01 : 0x00);
}

WireValue module_current(const Model& m, const Module& module) {
  // A module whose alarm byte is set has failed: it delivers nothing.
  if (module.status[0] != 0 || module.failed || module.alarm != 0 || mains_down(m.ac))
    return WireValue::of(0.0f);
  return module.current;
}

// 01 | 01 | 00005C43 00005C43 00005C43 00004842 | [K values] | 00 | 00002041 x3
// flag, lines, per line a b c f [tower] extras, then the three trailing values.
Bytes info_40_41(const Model& m) {
  InfoWriter w;
  w.u8(ac_data_flag(m.ac));
  w.u8(static_cast<uint8_t>(m.ac.lines.size()));
  for (const AcLine& line : m.ac.lines) {
    const WireValue zero = WireValue::of(0.0f);
    w.value(line.failed ? zero : line.a);
    w.value(line.failed ? zero : line.b);
    w.value(line.failed ? zero : line.c);
    w.value(line.failed ? zero : line.f);
    if (m.quirks.has_tower) w.counted(line.tower);
    w.counted(line.extra);
  }
  for (const WireValue& v : m.ac.values) w.value(v);
  return w.take();
}

// flag | switch count, states | [K bytes] | extra count, extras
Bytes info_40_43(const Model& m) {
  InfoWriter w;
  w.u8(ac_data_flag(m.ac));
  w.counted(m.ac.switches);
  if (m.quirks.has_tower) w.counted(m.ac.tower_switches);
  w.counted(m.ac.extra_switches);
  return w.take();
}

// flag | lines | per line: a b c f alarms, fuses, [tower], extras | three trailing alarms
Bytes info_40_44(const Model& m) {
  InfoWriter w;
  w.u8(ac_data_flag(m.ac));
  w.u8(static_cast<uint8_t>(m.ac.lines.size()));
  for (const AcLine& line : m.ac.lines) {
    for (uint8_t a : line_alarms(line)) w.u8(a);
    w.counted(line.fuses);
    if (m.quirks.has_tower) w.counted(line.tower_alarms);
    w.counted(line.extra_alarms);
  }
  for (uint8_t a : m.ac.alarms) w.u8(a);
  return w.take();
}

// flag | voltage | modules | per module: current, [tower], extras, padding
Bytes info_41_41(const Model& m) {
  InfoWriter w;
  w.u8(rc_data_flag(m.rectifiers));
  w.value(m.rectifiers.voltage);
  w.u8(static_cast<uint8_t>(m.rectifiers.modules.size()));
  for (const Module& mod : m.rectifiers.modules) {
    w.value(module_current(m, mod));
    if (m.quirks.has_tower) w.counted(mod.tower);
    w.counted(mod.extra);
    w.bytes(Bytes(m.quirks.skip_41_41, 0x00));
  }
  return w.take();
}

// flag | modules | per module: three states, [tower], extras
Bytes info_41_43(const Model& m) {
  InfoWriter w;
  w.u8(rc_data_flag(m.rectifiers));
  w.u8(static_cast<uint8_t>(m.rectifiers.modules.size()));
  for (const Module& mod : m.rectifiers.modules) {
    for (uint8_t s : mod.status) w.u8(s);
    if (m.quirks.has_tower) w.counted(mod.tower_states);
    w.counted(mod.extra_states);
  }
  return w.take();
}

// flag | modules | per module: alarm, [tower], extras
Bytes info_41_44(const Model& m) {
  InfoWriter w;
  w.u8(rc_data_flag(m.rectifiers));
  w.u8(static_cast<uint8_t>(m.rectifiers.modules.size()));
  for (const Module& mod : m.rectifiers.modules) {
    w.u8(mod.failed ? mod.failure_alarm : mod.alarm);
    if (m.quirks.has_tower) w.counted(mod.tower_alarms);
    w.counted(mod.extra_alarms);
  }
  return w.take();
}

// flag | [panels] | per panel: voltage current, m list, n list, p list
Bytes info_42_41(const Model& m) {
  InfoWriter w;
  w.u8(dc_data_flag(m.dc));
  if (!m.quirks.no_dc_number) w.u8(static_cast<uint8_t>(m.dc.panels.size()));
  for (size_t i = 0; i < dc_panels_sent(m); ++i) {
    const DcPanel& p = m.dc.panels[i];
    w.value(p.voltage);
    w.value(p.current);
    w.counted(p.m);
    w.counted(p.n);
    w.counted(p.p);
  }
  return w.take();
}

// flag | [panels] | per panel: alarm, fuse states, extras
Bytes info_42_44(const Model& m) {
  InfoWriter w;
  w.u8(dc_data_flag(m.dc));
  if (!m.quirks.no_dc_number) w.u8(static_cast<uint8_t>(m.dc.panels.size()));
  for (size_t i = 0; i < dc_panels_sent(m); ++i) {
    const DcPanel& p = m.dc.panels[i];
    w.u8(p.alarm);
    w.counted(p.fuses);
    w.counted(p.extra_alarms);
  }
  return w.take();
}

void check_answer_sizes(const Model& model, const std::string& origin) {
  Model m = model;
  for (const Event& e : m.events)
    if (e.kind == Event::Kind::ModuleCount &&
        e.count > static_cast<int>(m.rectifiers.modules.size()))
      m.rectifiers.modules.resize(
          e.count, m.rectifiers.modules.empty() ? Module{} : m.rectifiers.modules.back());
  const struct {
    const char* name;
    Bytes (*encode)(const Model&);
  } answers[] = {{"40/41", info_40_41}, {"40/43", info_40_43}, {"40/44", info_40_44},
                 {"41/41", info_41_41}, {"41/43", info_41_43}, {"41/44", info_41_44},
                 {"42/41", info_42_41}, {"42/44", info_42_44}};
  for (const auto& a : answers) {
    const size_t n = a.encode(m).size();
    if (n > kMaxInfoBytes)
      throw std::runtime_error(origin + ": the " + a.name + " answer would carry " +
                               std::to_string(n) + " info bytes, more than one frame holds (" +
                               std::to_string(kMaxInfoBytes) + ")");
  }
}

}  // namespace sim
