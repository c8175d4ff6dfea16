#include "state_payload.h"

#include <json/writer.h>

#include <cstdlib>

#include "json_out.h"

namespace klxhost {
namespace {

// A number as the record tool writes it (the shortest text of the float), or null when absent.
Json::Value number(const klx::Reading& r) {
  if (!r) return Json::Value();
  return std::strtod(json_float(*r).c_str(), nullptr);
}

Json::Value bytes(const uint8_t* b, size_t n) {
  Json::Value out(Json::arrayValue);
  for (size_t i = 0; i < n; ++i) out.append(b[i]);
  return out;
}

Json::Value ac_line(const klx::AcLine& l, const bool (&configured)[3]) {
  static const char* const kPhase[3] = {"a", "b", "c"};
  static const char* const kAlarm[3] = {"a_alarm", "b_alarm", "c_alarm"};
  Json::Value v(Json::objectValue);
  for (unsigned p = 0; p < 3; ++p) {
    if (!configured[p]) continue;
    v[kPhase[p]] = number(l.phase[p]);
    v[kAlarm[p]] = l.phase_alarm[p];
  }
  v["f"] = number(l.frequency);
  v["f_alarm"] = l.frequency_alarm;
  v["p40_41_count"] = l.custom_value_count;
  v["p40_44_count"] = l.custom_alarm_count;
  return v;
}

void ac_section(const klx::AcSection& ac, Json::Value& out) {
  Json::Value& a = out["ac"];
  const char* const trailing[3] = {"ac_a", "ac_b", "ac_c"};
  const char* const alarms[3] = {"ac_a_alarm", "ac_b_alarm", "ac_c_alarm"};
  for (unsigned i = 0; i < 3; ++i) {
    a[trailing[i]] = number(ac.trailing[i]);
    a[alarms[i]] = ac.alarm[i];
  }
  a["channel_count"] = Json::UInt(ac.lines.size());
  a["airlock_count"] = Json::UInt(ac.switches.size());
  a["airlock"] = bytes(ac.switches.data(), ac.switches.size());
  a["p40_43_count"] = ac.custom_count;
  Json::Value& lines = out["acChannel"] = Json::Value(Json::arrayValue);
  for (const klx::AcLine& l : ac.lines) lines.append(ac_line(l, ac.phase_configured));
}

Json::Value module(const klx::Module& m) {
  Json::Value v(Json::objectValue);
  v["current"] = number(m.current);
  v["status"] = bytes(m.status.data(), m.status.size());
  v["alarm"] = m.alarm;
  v["state"] = klx::module_state_name(m.state);
  v["p41_41_count"] = m.custom_counts[0];
  v["p41_43_count"] = m.custom_counts[1];
  v["p41_44_count"] = m.custom_counts[2];
  return v;
}

void shelf(const klx::Shelf& s, Json::Value& out) {
  out["rc_voltage"] = number(s.voltage);
  out["rc_channel_count"] = Json::UInt(s.modules.size());
  out["rc_current"] = number(s.total_current);
  Json::Value& modules = out["rcChannel"] = Json::Value(Json::arrayValue);
  for (const klx::Module& m : s.modules) modules.append(module(m));
}

Json::Value panel(const klx::DcPanel& p) {
  Json::Value v(Json::objectValue);
  v["voltage"] = number(p.voltage);
  v["current"] = number(p.current);
  v["alarm"] = p.alarm;
  v["alert_m_count"] = p.fuse_count;
  v["alert_p_count"] = p.extra_alarm_count;
  v["m_count"] = p.measurement_counts[0];
  v["n_count"] = p.measurement_counts[1];
  v["p_count"] = p.measurement_counts[2];
  return v;
}

}  // namespace

std::string iso_time(std::time_t t) {
  std::tm local{};
  localtime_r(&t, &local);
  char text[40];
  const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
  std::string out(text, n);
  if (out.size() >= 5) out.insert(out.size() - 2, ":");  // "+0100" -> "+01:00"
  return out;
}

Json::Value state_payload(const klx::DeviceModel& model, unsigned round, std::time_t time) {
  Json::Value out(Json::objectValue);
  out["time"] = iso_time(time);
  out["round"] = round;
  const klx::PlantReading& p = model.plant;
  if (!p.valid) return out;
  out["data_id"] = p.data_id;
  out["update_time"] = p.update_time;
  if (p.ac.present) ac_section(p.ac, out);
  shelf(p.shelf, out);
  const char* const names[2] = {"dc", "dc_2"};
  for (unsigned i = 0; i < 2; ++i)
    if (p.dc[i].present) out[names[i]] = panel(p.dc[i]);
  return out;
}

namespace {

Json::StreamWriterBuilder compact_writer() {
  Json::StreamWriterBuilder w;
  w["indentation"] = "";
  w["emitUTF8"] = true;
  w["precision"] = 15;  // the float texts are at most 9 digits: 15 keeps them as they are
  return w;
}

}  // namespace

// The builder is made once: its settings cost more than a short document (a host's start
// writes thousands of discovery configs). Only const members are called, from any thread.
std::string compact_json(const Json::Value& v) {
  static const Json::StreamWriterBuilder writer = compact_writer();
  return Json::writeString(writer, v);
}

}  // namespace klxhost
