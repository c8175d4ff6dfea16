#include "state_doc.h"

#include <json/value.h>

#include "points.h"
#include "state_payload.h"

namespace klxhost {
namespace {

Json::Value num(const klx::Reading& r, Quantity q) {
  if (!r) return Json::Value();
  return published_number(q, *r);
}

Json::Value ac_doc(const klx::AcSection& ac) {
  Json::Value out;
  Json::Value& lines = out["lines"] = Json::Value(Json::arrayValue);
  for (const klx::AcLine& l : ac.lines) {
    Json::Value line;
    static const char* const phases[3] = {"a", "b", "c"};
    for (unsigned p = 0; p < 3; ++p) line[phases[p]] = num(l.phase[p], Quantity::ac_voltage);
    line["f"] = num(l.frequency, Quantity::frequency);
    for (uint8_t a : l.phase_alarm) line["alarm"].append(a);
    line["alarm"].append(l.frequency_alarm);
    lines.append(line);
  }
  for (const auto& v : ac.trailing) out["values"].append(num(v, Quantity::current));
  out["switches"] = Json::Value(Json::arrayValue);
  for (uint8_t s : ac.switches) out["switches"].append(s);
  for (uint8_t a : ac.alarm) out["alarm"].append(a);
  return out;
}

Json::Value shelf_doc(const klx::Shelf& shelf) {
  Json::Value out;
  out["voltage"] = num(shelf.voltage, Quantity::dc_voltage);
  out["current"] = num(shelf.total_current, Quantity::current);
  Json::Value& mods = out["modules"];
  for (const char* k : {"current", "state", "alarm"}) mods[k] = Json::Value(Json::arrayValue);
  for (const klx::Module& m : shelf.modules) {
    mods["current"].append(num(m.current, Quantity::current));
    mods["state"].append(klx::module_state_name(m.state));
    mods["alarm"].append(m.alarm);
  }
  return out;
}

Json::Value alarms_doc(const std::vector<klx::ActiveAlarm>& alarms) {
  Json::Value out(Json::arrayValue);
  for (const auto& a : alarms) {
    Json::Value v;
    v["key"] = a.key;
    v["level"] = a.level;
    v["text1"] = a.text1;
    v["text2"] = a.text2;
    v["since"] = iso_time(a.since);
    out.append(v);
  }
  return out;
}

}  // namespace

std::string state_document(const klx::DeviceModel& m, unsigned round, std::time_t time) {
  Json::Value doc;
  doc["time"] = iso_time(time);
  doc["round"] = round;
  doc["data_id"] = m.data_id;
  const klx::PlantReading& p = m.plant;
  if (p.valid) {
    if (p.ac.present) doc["ac"] = ac_doc(p.ac);
    doc["shelf"] = shelf_doc(p.shelf);
    Json::Value& dc = doc["dc"] = Json::Value(Json::arrayValue);
    for (const klx::DcPanel& panel : p.dc) {
      if (!panel.present) continue;
      Json::Value v;
      v["panel"] = panel.number;
      v["voltage"] = num(panel.voltage, Quantity::dc_voltage);
      v["current"] = num(panel.current, Quantity::current);
      v["power"] = num(panel.power, Quantity::power);
      v["alarm"] = panel.alarm;
      dc.append(v);
    }
    if (!dc.empty()) {
      doc["dc_current"] = num(p.dc_current, Quantity::current);
      doc["dc_power"] = num(p.dc_power, Quantity::power);
    }
  }
  doc["alarms"] = alarms_doc(m.alarms);
  return compact_json(doc);
}

}  // namespace klxhost
