#include <charconv>

#include "klx/site_model.h"

namespace klx {
namespace {

std::string ac_part(const AcSection& ac) {
  if (!ac.present || ac.lines.empty()) return "AC -";
  std::string s;
  for (const AcLine& line : ac.lines) {
    s += (s.empty() ? "AC" : ", AC") + std::to_string(line.number) + " ";
    bool first = true;
    for (unsigned p = 0; p < 3; ++p) {
      if (!ac.phase_configured[p]) continue;
      s += (first ? "" : "/") + reading_text(line.phase[p]);
      first = false;
    }
    s += " V " + reading_text(line.frequency) + " Hz";
  }
  return s;
}

std::string total_text(const Shelf& shelf) {
  if (!shelf.total_current) return shelf.modules.empty() ? "0" : "-";
  return reading_text(shelf.total_current);
}

std::string dc_part(const PlantReading& p) {
  if (!p.dc[0].present) return "DC -";
  return "DC " + reading_text(p.dc[0].voltage) + " V " + reading_text(p.dc_current) + " A";
}

}  // namespace

std::string reading_text(const Reading& r) {
  if (!r) return "-";
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, *r).ptr;
  return std::string(text, end);
}

std::string plant_summary(const PlantReading& p) {
  if (!p.valid) return "no record";
  return ac_part(p.ac) + "; rectifiers " + std::to_string(p.shelf.modules.size()) + " at " +
         reading_text(p.shelf.voltage) + " V " + total_text(p.shelf) + " A; " + dc_part(p);
}

}  // namespace klx
