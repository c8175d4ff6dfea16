#include "points.h"

#include <cmath>
#include <cstdio>

namespace klxhost {
namespace {

using klx::Reading;
using S = PointSource;

PointValue number(Quantity q, const Reading& r) {
  PointValue v;
  if (r) v.number = published_number(q, *r);
  return v;
}

PointValue count(unsigned n) { return PointValue{static_cast<double>(n), nullptr}; }

void add(std::vector<PointSource>& out, S::Kind kind, size_t at = 0, unsigned number = 0,
         unsigned sub = 0) {
  out.push_back(
      {kind, static_cast<uint8_t>(sub), static_cast<uint16_t>(at), static_cast<uint16_t>(number)});
}

void ac_sources(const klx::AcSection& ac, const klx::DeviceLayout& layout,
                std::vector<PointSource>& out) {
  if (!ac.present) return;
  for (size_t l = 0; l < ac.lines.size(); ++l) {
    const unsigned n = ac.lines[l].number;
    for (unsigned p = 0; p < 3; ++p)
      if (layout.phase[p]) add(out, S::ac_phase, l, n, p);  // a phase the site has
    add(out, S::ac_frequency, l, n);
  }
  // The three values after the line blocks; absent ones are left out.
  for (unsigned i = 0; i < 3; ++i)
    if (ac.trailing[i]) add(out, S::ac_value, 0, 0, i);
  for (size_t i = 0; i < ac.switches.size(); ++i) add(out, S::input_switch, i);
}

void shelf_sources(const klx::Shelf& shelf, std::vector<PointSource>& out) {
  add(out, S::rc_voltage);
  add(out, S::rc_current);
  add(out, S::rc_count);
  for (size_t i = 0; i < shelf.modules.size(); ++i) {
    const unsigned n = shelf.modules[i].number;
    add(out, S::module_current, i, n);
    add(out, S::module_state, i, n);
    add(out, S::module_alarm, i, n);
  }
}

void dc_sources(const klx::PlantReading& p, std::vector<PointSource>& out) {
  bool any = false;
  for (size_t i = 0; i < p.dc.size(); ++i) {
    if (!p.dc[i].present) continue;
    any = true;
    for (S::Kind k : {S::panel_voltage, S::panel_current, S::panel_power, S::panel_alarm})
      add(out, k, i, p.dc[i].number);
  }
  if (!any) return;
  add(out, S::dc_current);
  add(out, S::dc_power);
}

PointValue ac_value(const PointSource& s, const klx::AcSection& ac) {
  switch (s.kind) {
    case S::ac_phase:
      return number(Quantity::ac_voltage, ac.lines[s.at].phase[s.sub]);
    case S::ac_frequency:
      return number(Quantity::frequency, ac.lines[s.at].frequency);
    case S::ac_value:
      return number(Quantity::current, ac.trailing[s.sub]);
    default:
      return count(ac.switches[s.at]);
  }
}

PointValue module_value(const PointSource& s, const klx::Module& m) {
  if (s.kind == S::module_current) return number(Quantity::current, m.current);
  if (s.kind == S::module_alarm) return count(m.alarm);
  return PointValue{std::nullopt, klx::module_state_name(m.state)};
}

PointValue panel_value(const PointSource& s, const klx::DcPanel& d) {
  switch (s.kind) {
    case S::panel_voltage:
      return number(Quantity::dc_voltage, d.voltage);
    case S::panel_current:
      return number(Quantity::current, d.current);
    case S::panel_power:
      return number(Quantity::power, d.power);
    default:
      return count(d.alarm);
  }
}

Point measured(std::string object, std::string name, Quantity q) {
  static const char* const classes[] = {"voltage", "voltage", "frequency", "current", "power"};
  static const char* const units[] = {"V", "V", "Hz", "A", "W"};
  const int i = static_cast<int>(q);
  return {std::move(object), std::move(name), q, classes[i], units[i], {}};
}

Point discrete(std::string object, std::string name) {
  return {std::move(object), std::move(name), Quantity::discrete, "", "", {}};
}

Point describe_ac(const PointSource& s) {
  const std::string n = std::to_string(s.number), at = "ac" + n + "_";
  switch (s.kind) {
    case S::ac_phase:
      return measured(at + "abc"[s.sub],
                      "AC line " + n + " phase " + char('A' + s.sub) + " voltage",
                      Quantity::ac_voltage);
    case S::ac_frequency:
      return measured(at + "f", "AC line " + n + " frequency", Quantity::frequency);
    case S::ac_value: {
      // Their meaning depends on the site's wiring, so they carry no unit; the current's
      // deadband fits what they usually hold.
      const std::string i = std::to_string(s.sub + 1);
      Point p = measured("ac_v" + i, "AC value " + i, Quantity::current);
      p.device_class.clear();
      p.unit.clear();
      return p;
    }
    default: {
      const std::string i = std::to_string(s.at + 1);
      return discrete("sw" + i, "Input switch " + i);
    }
  }
}

Point describe_module(const PointSource& s) {
  const std::string n = std::to_string(s.number), at = "rc" + n + "_";
  if (s.kind == S::module_current)
    return measured(at + "current", "Rectifier " + n + " current", Quantity::current);
  if (s.kind == S::module_alarm) return discrete(at + "alarm", "Rectifier " + n + " alarm byte");
  Point p = discrete(at + "state", "Rectifier " + n + " state");
  p.device_class = "enum";
  p.options = {"running", "off", "failed"};
  return p;
}

Point describe_panel(const PointSource& s) {
  const std::string n = std::to_string(s.number), at = "dc" + n + "_";
  const std::string name = "DC panel " + n;
  switch (s.kind) {
    case S::panel_voltage:
      return measured(at + "voltage", name + " voltage", Quantity::dc_voltage);
    case S::panel_current:
      return measured(at + "current", name + " load current", Quantity::current);
    case S::panel_power:
      return measured(at + "power", name + " load power", Quantity::power);
    default:
      return discrete(at + "alarm", name + " alarm byte");
  }
}

}  // namespace

void point_sources(const klx::DeviceModel& m, std::vector<PointSource>& out) {
  out.clear();
  if (!m.plant.valid) return;
  ac_sources(m.plant.ac, m.layout, out);
  shelf_sources(m.plant.shelf, out);
  dc_sources(m.plant, out);
}

Quantity quantity_of(const PointSource& s) {
  switch (s.kind) {
    case S::ac_phase:
      return Quantity::ac_voltage;
    case S::ac_frequency:
      return Quantity::frequency;
    case S::rc_voltage:
    case S::panel_voltage:
      return Quantity::dc_voltage;
    case S::ac_value:
    case S::rc_current:
    case S::module_current:
    case S::panel_current:
    case S::dc_current:
      return Quantity::current;
    case S::panel_power:
    case S::dc_power:
      return Quantity::power;
    default:
      return Quantity::discrete;
  }
}

PointValue point_value(const PointSource& s, const klx::PlantReading& p) {
  switch (s.kind) {
    case S::ac_phase:
    case S::ac_frequency:
    case S::ac_value:
    case S::input_switch:
      return ac_value(s, p.ac);
    case S::rc_voltage:
      return number(Quantity::dc_voltage, p.shelf.voltage);
    case S::rc_current:
      return number(Quantity::current, p.shelf.total_current);
    case S::rc_count:
      return count(p.shelf.modules.size());
    case S::module_current:
    case S::module_state:
    case S::module_alarm:
      return module_value(s, p.shelf.modules[s.at]);
    case S::dc_current:
      return number(Quantity::current, p.dc_current);
    case S::dc_power:
      return number(Quantity::power, p.dc_power);
    default:
      return panel_value(s, p.dc[s.at]);
  }
}

Point describe(const PointSource& s) {
  switch (s.kind) {
    case S::ac_phase:
    case S::ac_frequency:
    case S::ac_value:
    case S::input_switch:
      return describe_ac(s);
    case S::rc_voltage:
      return measured("rc_voltage", "Rectifier output voltage", Quantity::dc_voltage);
    case S::rc_current:
      return measured("rc_current", "Rectifier total current", Quantity::current);
    case S::rc_count:
      return discrete("rc_count", "Rectifier module count");
    case S::module_current:
    case S::module_state:
    case S::module_alarm:
      return describe_module(s);
    case S::dc_current:
      return measured("dc_current", "DC total load current", Quantity::current);
    case S::dc_power:
      return measured("dc_power", "DC total load power", Quantity::power);
    default:
      return describe_panel(s);
  }
}

double published_number(Quantity q, double v) {
  static const double steps[] = {10, 100, 100, 100, 1};  // per unit, by quantity
  if (q == Quantity::discrete || !std::isfinite(v)) return v;
  const double step = steps[static_cast<int>(q)];
  return std::round(v * step) / step;
}

std::string point_payload(const PointValue& v) {
  if (v.text) return v.text;
  if (!v.number || !std::isfinite(*v.number)) return "None";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.10g", *v.number);
  return buf;
}

}  // namespace klxhost
