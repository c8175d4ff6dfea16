#include "points.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace klxhost {
namespace {

using klx::Reading;

PointValue number(Quantity q, const Reading& r) {
  PointValue v;
  if (r) v.number = published_number(q, *r);
  return v;
}

PointValue count(unsigned n) { return PointValue{static_cast<double>(n), {}}; }

PointValue text(const std::string& s) { return PointValue{std::nullopt, s}; }

void measured(std::vector<Point>& out, std::string object, std::string name, Quantity q,
              const Reading& r) {
  static const char* const classes[] = {"voltage", "voltage", "frequency", "current", "power"};
  static const char* const units[] = {"V", "V", "Hz", "A", "W"};
  const int i = static_cast<int>(q);
  out.push_back({std::move(object), std::move(name), q, number(q, r), classes[i], units[i], {}});
}

void discrete(std::vector<Point>& out, std::string object, std::string name, PointValue v) {
  out.push_back({std::move(object), std::move(name), Quantity::discrete, std::move(v), "", "", {}});
}

void ac_points(const klx::AcSection& ac, const klx::DeviceLayout& layout, std::vector<Point>& out) {
  if (!ac.present) return;
  static const char* const phases[3] = {"a", "b", "c"};
  for (const klx::AcLine& line : ac.lines) {
    const std::string n = std::to_string(line.number), at = "ac" + n + "_";
    for (unsigned p = 0; p < 3; ++p) {
      if (!layout.phase[p]) continue;  // a phase the site does not have
      measured(out, at + phases[p], "AC line " + n + " phase " + char('A' + p) + " voltage",
               Quantity::ac_voltage, line.phase[p]);
    }
    measured(out, at + "f", "AC line " + n + " frequency", Quantity::frequency, line.frequency);
  }
  // The three values after the line blocks: their meaning depends on the site's wiring, so they
  // carry no unit; the current's deadband fits what they usually hold. Absent ones are left out.
  for (unsigned i = 0; i < 3; ++i) {
    if (!ac.trailing[i]) continue;
    measured(out, "ac_v" + std::to_string(i + 1), "AC value " + std::to_string(i + 1),
             Quantity::current, ac.trailing[i]);
    out.back().device_class.clear();
    out.back().unit.clear();
  }
  for (size_t i = 0; i < ac.switches.size(); ++i)
    discrete(out, "sw" + std::to_string(i + 1), "Input switch " + std::to_string(i + 1),
             count(ac.switches[i]));
}

void shelf_points(const klx::Shelf& shelf, std::vector<Point>& out) {
  measured(out, "rc_voltage", "Rectifier output voltage", Quantity::dc_voltage, shelf.voltage);
  measured(out, "rc_current", "Rectifier total current", Quantity::current, shelf.total_current);
  discrete(out, "rc_count", "Rectifier module count", count(shelf.modules.size()));
  for (const klx::Module& m : shelf.modules) {
    const std::string n = std::to_string(m.number), at = "rc" + n + "_";
    measured(out, at + "current", "Rectifier " + n + " current", Quantity::current, m.current);
    Point state{at + "state",
                "Rectifier " + n + " state",
                Quantity::discrete,
                text(klx::module_state_name(m.state)),
                "enum",
                "",
                {"running", "off", "failed"}};
    out.push_back(std::move(state));
    discrete(out, at + "alarm", "Rectifier " + n + " alarm byte", count(m.alarm));
  }
}

void dc_points(const klx::PlantReading& p, std::vector<Point>& out) {
  unsigned present = 0;
  for (const klx::DcPanel& panel : p.dc) {
    if (!panel.present) continue;
    ++present;
    const std::string n = std::to_string(panel.number), at = "dc" + n + "_";
    const std::string name = "DC panel " + n;
    measured(out, at + "voltage", name + " voltage", Quantity::dc_voltage, panel.voltage);
    measured(out, at + "current", name + " load current", Quantity::current, panel.current);
    measured(out, at + "power", name + " load power", Quantity::power, panel.power);
    discrete(out, at + "alarm", name + " alarm byte", count(panel.alarm));
  }
  if (present == 0) return;
  measured(out, "dc_current", "DC total load current", Quantity::current, p.dc_current);
  measured(out, "dc_power", "DC total load power", Quantity::power, p.dc_power);
}

}  // namespace

std::vector<Point> device_points(const klx::DeviceModel& m) {
  std::vector<Point> out;
  if (!m.plant.valid) return out;
  ac_points(m.plant.ac, m.layout, out);
  shelf_points(m.plant.shelf, out);
  dc_points(m.plant, out);
  return out;
}

double published_number(Quantity q, double v) {
  static const double steps[] = {10, 100, 100, 100, 1};  // per unit, by quantity
  if (q == Quantity::discrete || !std::isfinite(v)) return v;
  const double step = steps[static_cast<int>(q)];
  return std::round(v * step) / step;
}

std::string point_payload(const PointValue& v) {
  if (!v.text.empty()) return v.text;
  if (!v.number || !std::isfinite(*v.number)) return "None";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.10g", *v.number);
  return buf;
}

}  // namespace klxhost
