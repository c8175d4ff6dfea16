#pragma once

#include <algorithm>
#include <iterator>
#include <string>

#include "alarms/gated_rules.h"
#include "alarms/rule_text.h"
#include "device/pmbuspower_419.h"

// Power-system alarm rules. Mode 1 hands the measured values to the host's threshold checks and
// change reports; mode 2 computes each alarm condition here and states it as a boolean rule.
// Loops over lines and modules stop at the record's arrays, whatever counts the answers carried.
namespace power_rules {

// A mode-1 value: the identifier it is checked under and the one it is reported under.
struct ValueRow {
  const char* check;
  const char* report;
};

// Phase voltages A, B, C of line 1 then line 2; row [0] for `ac_type_` 0, row [1] otherwise.
constexpr ValueRow kPhaseRows[2][6] = {{{"419610401001", "419110100001"},
                                        {"419610401002", "419110200001"},
                                        {"419610401003", "419110300001"},
                                        {"419610401004", "419110100002"},
                                        {"419610401005", "419110200002"},
                                        {"419610401006", "419110300002"}},
                                       {{"419610801001", "419110500001"},
                                        {"419610801002", "419110600001"},
                                        {"419610801003", "419110700001"},
                                        {"419610801004", "419110500002"},
                                        {"419610801005", "419110600002"},
                                        {"419610801006", "419110700002"}}};
constexpr ValueRow kFrequencyRows[2] = {{"419613901001", "419113900001"},
                                        {"419613901002", "419113900002"}};
constexpr float kLineLiveVolts = 120.0f;

// The host takes the value by reference; `value` is an aligned copy of the record field (the
// record is packed and its floats lie at odd offsets) and outlives both calls.
template <class Dev>
void check_and_report(Dev& dev, const char* check_id, const char* setting_key,
                      const char* report_id, float value) {
  dev.CheckThreshold(check_id, std::string(), value, 1);
  dev.CheckAOReport(setting_key, report_id, value);
}

// A line is live when every present phase lies above 120 V; absent phases impose nothing.
template <class Dev, class Line>
bool line_live(const Dev& dev, const Line& line) {
  return (!dev.has_a_ || line.a > kLineLiveVolts) && (!dev.has_b_ || line.b > kLineLiveVolts) &&
         (!dev.has_c_ || line.c > kLineLiveVolts);
}

template <class Dev>
void input_power_rule(Dev& dev) {
  const auto& data = dev.data_;
  const unsigned stored = std::min<unsigned>(data.ac.channel_count, std::size(data.acChannel));
  bool live = false;
  for (unsigned i = 0; i < stored; ++i) {
    if (line_live(dev, data.acChannel[i])) live = true;
  }
  // Written once: the name is too long to be made without allocating.
  static const std::string key = "PowerOff";
  static const std::string id = "419415001";
  static const std::string name = "输入电源中断告警";
  dev.CheckThresholdBool(1, key, id, name, name, !live, 100);
}

// The present phases of `line` under the identifiers of slot 0 (line 1) or 1 (line 2). Every
// phase voltage shares the setting key of line 1's phase A.
template <class Dev, class Line>
void check_phases(Dev& dev, const Line& line, int slot) {
  const ValueRow* rows = kPhaseRows[dev.ac_type_ == 0 ? 0 : 1];
  const bool present[3] = {dev.has_a_, dev.has_b_, dev.has_c_};
  const float volts[3] = {line.a, line.b, line.c};
  for (int p = 0; p < 3; ++p) {
    const ValueRow& row = rows[slot * 3 + p];
    if (present[p]) check_and_report(dev, row.check, rows[0].check, row.report, volts[p]);
  }
}

template <class Dev, class Line>
void check_frequency(Dev& dev, const Line& line, int slot) {
  const ValueRow& row = kFrequencyRows[slot];
  check_and_report(dev, row.check, kFrequencyRows[0].check, row.report, line.f);
}

// `ac_line_` 1: line 1; 2: line 2 under line 1's identifiers; anything else: both lines.
template <class Dev>
void mode1_ac(Dev& dev) {
  const auto& lines = dev.data_.acChannel;
  if (dev.ac_line_ == 1 || dev.ac_line_ == 2) {
    const auto& line = lines[dev.ac_line_ - 1];
    check_phases(dev, line, 0);
    check_frequency(dev, line, 0);
    return;
  }
  check_phases(dev, lines[0], 0);
  check_phases(dev, lines[1], 1);
  check_frequency(dev, lines[0], 0);
  check_frequency(dev, lines[1], 1);
}

// Without a panel-count byte there is one panel: the byte kept as the count is then the low byte
// of the bus voltage, not a number of panels.
template <class Dev>
bool one_panel_layout(const Dev& dev) {
  return dev.no_dc_number_ == 1;
}

// The second panel is reported under its own identifiers with the first panel's settings.
template <class Dev>
void mode1_dc(Dev& dev) {
  const auto& data = dev.data_;
  check_and_report(dev, "419620401001", "419620401001", "419120400001", data.dc.current);
  check_and_report(dev, "419620301001", "419620301001", "419120300001", data.dc.voltage);
  if (one_panel_layout(dev) || dev.dc_number_ < 2) return;
  check_and_report(dev, "419620401002", "419620401001", "419120400002", data.dc_2.current);
  check_and_report(dev, "419620301002", "419620301001", "419120300002", data.dc_2.voltage);
}

template <class Dev>
void mode1(Dev& dev) {
  if (dev.has_ac_) {
    input_power_rule(dev);
    mode1_ac(dev);
  }
  if (dev.has_dc_) mode1_dc(dev);
}

// Mode 2, AC input: voltage rules over all six stored phase voltages, then frequency rules
// against the thresholds configured under their own codes. The 0.01 bound tells a measured zero
// from a low value and is compared in double precision.
template <class Dev>
void mode2_ac(Dev& dev, GatedRules& rules) {
  const auto& l1 = dev.data_.acChannel[0];
  const auto& l2 = dev.data_.acChannel[1];
  const float u[6] = {l1.a, l1.b, l1.c, l2.a, l2.b, l2.c};
  const bool present[6] = {dev.has_a_, dev.has_b_, dev.has_c_, dev.has_a_, dev.has_b_, dev.has_c_};
  static constexpr const char* kLabels[6] = {"ua1:", " ub1:", " uc1:", " ua2:", " ub2:", " uc2:"};

  std::string& text = rules.text();
  text.clear();
  for (int i = 0; i < 6; ++i) {
    text.append(kLabels[i]);
    rule_text::append_float(text, u[i]);
  }
  const auto any_present = [&](auto&& cond) {
    for (int i = 0; i < 6; ++i)
      if (present[i] && cond(u[i])) return true;
    return false;
  };
  rules.add("220600120010", text, "001#48V直流系统交流输入电压过高告警",
            [&] { return any_present([](float v) { return v > 280.0f; }); });
  rules.add("220600130010", text, "001#48V直流系统交流输入电压过低告警", [&] {
    return any_present([](float v) { return static_cast<double>(v) > 0.01 && v < 150.0f; });
  });
  rules.add("220600140010", text, "001#48V直流系统交流输入停电告警",
            [&] { return std::all_of(u, u + 6, [](float v) { return v < 150.0f; }); });

  const float f1 = l1.f;
  const float f2 = l2.f;
  text.assign("f1:");
  rule_text::append_float(text, f1);
  text.append(" f2:");
  rule_text::append_float(text, f2);
  rules.add("220600160010", text, "001#48V直流系统交流输入频率过高告警", [&] {
    const float t = rules.threshold();
    return f1 > t || f2 > t;
  });
  rules.add("220600170010", text, "001#48V直流系统交流输入频率过低告警", [&] {
    const float t = rules.threshold();
    return (static_cast<double>(f1) > 0.01 && f1 < t) || (static_cast<double>(f2) > 0.01 && f2 < t);
  });
}

// Two rules per stored module, same name and condition, different codes.
template <class Dev>
void mode2_modules(Dev& dev, GatedRules& rules) {
  const auto& data = dev.data_;
  const unsigned stored = std::min<unsigned>(data.rc_channel_count, std::size(data.rcChannel));
  GatedRules::Series run69(dev.unit_texts_[0], "12060069", "", "#48V整流模块运行告警");
  GatedRules::Series run02(dev.unit_texts_[1], "12060002", "", "#48V整流模块运行告警");
  for (unsigned n = 1; n <= stored; ++n) {
    const auto& module = data.rcChannel[n - 1];
    const auto running = [&] { return module.status[0] == 1; };
    rules.add_numbered(run69, n, n, running);
    rules.add_numbered(run02, n, n, running);
  }
}

// Load fuses of one panel. The record stores no fuse states (their list has capacity 0), so a
// state that is not stored reads as 0 and its rule is stated inactive.
template <class Panel>
void fuse_rules(GatedRules& rules, const Panel& panel, UnitTexts& texts, const char* head,
                unsigned code_offset) {
  GatedRules::Series fuses(texts, "12060047", head, "负载熔丝故障告警");
  for (unsigned k = 1; k <= panel.alert_m_count; ++k) {
    rules.add_numbered(fuses, k + code_offset, k, [&] {
      return rule_text::stored_or_zero(panel.alert_m, sizeof(panel.alert_m), k - 1) != 0;
    });
  }
}

// Mode 2, DC: the bus voltage against the thresholds of its three codes, then both panels'
// fuses; the second panel's codes are numbered on from 019, its names start again at 001. The
// second panel's count is trusted whatever the count byte says, except where there is none.
template <class Dev>
void mode2_dc(Dev& dev, GatedRules& rules) {
  const auto& data = dev.data_;
  const float volts = data.dc.voltage;
  std::string& text = rules.text();
  rule_text::assign_lexical(text, volts);
  rules.add("210600320010", text, "48V直流系统直流总电压过低告警",
            [&] { return volts < rules.threshold(); });
  rules.add("210600330010", text, "48V直流系统直流总电压超低告警",
            [&] { return volts < rules.threshold(); });
  rules.add("210600340010", text, "直流总电压过高告警", [&] { return volts > rules.threshold(); });
  fuse_rules(rules, data.dc, dev.unit_texts_[2], "直流屏1", 0);
  if (!one_panel_layout(dev)) fuse_rules(rules, data.dc_2, dev.unit_texts_[3], "直流屏2", 18);
}

template <class Dev>
void mode2(Dev& dev) {
  GatedRules rules(dev, dev.rule_buffers_);
  if (dev.has_ac_) mode2_ac(dev, rules);
  mode2_modules(dev, rules);
  if (dev.has_dc_) mode2_dc(dev, rules);
}

}  // namespace power_rules

template <class Data, int SpId>
void pmbuspower_419<Data, SpId>::RunCheckThreshold() {
  if (this->b_mode_ == 1) {
    power_rules::mode1(*this);
  } else if (this->b_mode_ == 2) {
    power_rules::mode2(*this);
  }
}
