#include "topics.h"

#include <cctype>

#include "state_payload.h"

namespace klxhost {
namespace {

std::string id_safe(const std::string& s) {
  std::string out = s;
  for (char& c : out)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') c = '_';
  return out;
}

// One sensor: what it measures and where its value lies in the state JSON.
struct Sensor {
  std::string object;  // object id, e.g. "ac1_a"
  std::string name;
  std::string device_class;  // empty: none
  std::string unit;
  std::string value_template;
};

std::string path_template(const std::string& path) { return "{{ value_json." + path + " }}"; }

std::vector<Sensor> ac_sensors(const Json::Value& state) {
  std::vector<Sensor> out;
  const Json::Value& lines = state["acChannel"];
  const unsigned count = state["ac"]["channel_count"].asUInt();
  for (unsigned i = 0; i < count && i < lines.size(); ++i) {
    const std::string n = std::to_string(i + 1), at = "acChannel[" + std::to_string(i) + "].";
    for (const char* phase : {"a", "b", "c"})
      out.push_back({"ac" + n + "_" + phase, "AC line " + n + " phase " + phase + " voltage",
                     "voltage", "V", path_template(at + phase)});
    out.push_back({"ac" + n + "_f", "AC line " + n + " frequency", "frequency", "Hz",
                   path_template(at + "f")});
  }
  return out;
}

std::vector<Sensor> rectifier_sensors(const Json::Value& state) {
  std::vector<Sensor> out = {
      {"rc_voltage", "Rectifier output voltage", "voltage", "V", path_template("rc_voltage")},
      {"rc_current", "Rectifier total current", "current", "A",
       "{{ value_json.rcChannel[:value_json.rc_channel_count] | map(attribute='current') | "
       "select('number') | sum | round(2) }}"},
      {"rc_count", "Rectifier module count", "", "", path_template("rc_channel_count")}};
  const unsigned count = state["rc_channel_count"].asUInt();
  for (unsigned i = 0; i < count && i < state["rcChannel"].size(); ++i) {
    const std::string n = std::to_string(i + 1);
    out.push_back({"rc" + n + "_current", "Rectifier " + n + " current", "current", "A",
                   path_template("rcChannel[" + std::to_string(i) + "].current")});
  }
  return out;
}

// A second panel's voltage stays 0 (or absent) in a record of a system with one panel.
bool has_second_panel(const Json::Value& state) {
  const Json::Value& v = state["dc_2"]["voltage"];
  return v.isNumeric() && v.asDouble() != 0.0;
}

// The second panel only when the record holds one.
std::vector<Sensor> dc_sensors(const Json::Value& state) {
  std::vector<Sensor> out;
  const char* panels[] = {"dc", "dc_2"};
  for (unsigned i = 0; i < 2; ++i) {
    if (i > 0 && !has_second_panel(state)) break;
    const std::string n = std::to_string(i + 1), at = std::string(panels[i]) + ".";
    out.push_back({"dc" + n + "_voltage", "DC panel " + n + " voltage", "voltage", "V",
                   path_template(at + "voltage")});
    out.push_back({"dc" + n + "_current", "DC panel " + n + " current", "current", "A",
                   path_template(at + "current")});
  }
  return out;
}

Json::Value device_block(const TopicNames& names, uint32_t data_id) {
  Json::Value d;
  d["identifiers"].append(names.node_id(data_id));
  d["name"] = names.site + " data_id " + std::to_string(data_id);
  d["model"] = "korvantis_419";
  d["manufacturer"] = "klx";
  return d;
}

Json::Value common_config(const TopicNames& names, uint32_t data_id, const std::string& object,
                          const std::string& name) {
  Json::Value c;
  c["name"] = name;
  c["unique_id"] = names.node_id(data_id) + "_" + object;
  // Available while both the host's connection and the device are.
  for (const std::string& topic : {names.bridge_availability(), names.availability(data_id)})
    c["availability"].append(Json::Value(Json::objectValue))["topic"] = topic;
  c["availability_mode"] = "all";
  c["device"] = device_block(names, data_id);
  return c;
}

MqttMessage sensor_config(const TopicNames& names, uint32_t data_id, const Sensor& s) {
  Json::Value c = common_config(names, data_id, s.object, s.name);
  c["state_topic"] = names.state(data_id);
  c["value_template"] = s.value_template;
  c["state_class"] = "measurement";
  if (!s.device_class.empty()) c["device_class"] = s.device_class;
  if (!s.unit.empty()) c["unit_of_measurement"] = s.unit;
  return {names.discovery_prefix + "/sensor/" + names.node_id(data_id) + "/" + s.object + "/config",
          compact_json(c)};
}

}  // namespace

MqttMessage alarm_discovery(const TopicNames& names, uint32_t data_id, const std::string& key) {
  const std::string object = "alarm_" + id_safe(key);
  Json::Value c = common_config(names, data_id, object, "Alarm " + key);
  c["state_topic"] = names.alarm(data_id, key);
  c["value_template"] = "{{ 'ON' if value_json.active else 'OFF' }}";
  c["device_class"] = "problem";
  return {names.discovery_prefix + "/binary_sensor/" + names.node_id(data_id) + "/" + object +
              "/config",
          compact_json(c)};
}

std::string TopicNames::device(uint32_t data_id) const {
  return prefix + "/" + site + "/" + std::to_string(data_id);
}
std::string TopicNames::state(uint32_t data_id) const { return device(data_id) + "/state"; }
std::string TopicNames::availability(uint32_t data_id) const {
  return device(data_id) + "/availability";
}
std::string TopicNames::bridge_availability() const {
  return prefix + "/" + site + "/availability";
}
std::string TopicNames::alarm(uint32_t data_id, const std::string& key) const {
  return device(data_id) + "/alarm/" + topic_level(key);
}
std::string TopicNames::discovery_status() const { return discovery_prefix + "/status"; }
std::string TopicNames::node_id(uint32_t data_id) const {
  return "klx_" + id_safe(site) + "_" + std::to_string(data_id);
}

std::string topic_level(const std::string& key) {
  std::string out = key.empty() ? "_" : key;
  for (char& c : out)
    if (c == '/' || c == '+' || c == '#' || static_cast<unsigned char>(c) < 0x20) c = '_';
  return out;
}

std::string alarm_payload(const klx::AlarmTransition& t, std::time_t since, uint64_t seq) {
  Json::Value v;
  v["active"] = t.raised;
  v["level"] = t.level;
  v["alarm_id"] = t.alarm_id;
  v["text1"] = t.text1;
  v["text2"] = t.text2;
  v["since"] = iso_time(since);
  if (seq) v["seq"] = Json::UInt64(seq);
  return compact_json(v);
}

std::vector<MqttMessage> discovery_messages(const TopicNames& names, uint32_t data_id,
                                            const Json::Value& state,
                                            const std::vector<std::string>& alarm_keys) {
  std::vector<MqttMessage> out;
  for (const auto& group : {ac_sensors(state), rectifier_sensors(state), dc_sensors(state)})
    for (const Sensor& s : group) out.push_back(sensor_config(names, data_id, s));
  for (const auto& key : alarm_keys) out.push_back(alarm_discovery(names, data_id, key));
  return out;
}

std::string discovery_shape(const Json::Value& state) {
  return std::to_string(state["ac"]["channel_count"].asUInt()) + "/" +
         std::to_string(state["rc_channel_count"].asUInt()) + "/" +
         (has_second_panel(state) ? "2" : "1");
}

}  // namespace klxhost
