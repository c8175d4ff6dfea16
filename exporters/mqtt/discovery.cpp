#include "discovery.h"

#include <json/value.h>

#include "state_payload.h"

#ifndef KLX_VERSION
#define KLX_VERSION "0"
#endif

namespace klxhost {
namespace {

std::string object_id(const std::string& s) {
  std::string out = s;
  for (char& c : out)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') c = '_';
  return out;
}

Json::Value device_block(const TopicNames& names, uint32_t data_id) {
  Json::Value d;
  d["identifiers"].append(names.node_id(data_id));
  d["name"] = names.site + " data_id " + std::to_string(data_id);
  d["model"] = "korvantis_419";
  d["manufacturer"] = "klx";
  d["sw_version"] = KLX_VERSION;
  return d;
}

// What every config of one device shares, built once per device.
Json::Value device_base(const TopicNames& names, uint32_t data_id) {
  Json::Value c;
  // Available while both the host's connection and the device are.
  for (const std::string& topic : {names.bridge_availability(), names.availability(data_id)})
    c["availability"].append(Json::Value(Json::objectValue))["topic"] = topic;
  c["availability_mode"] = "all";
  c["device"] = device_block(names, data_id);
  c["origin"]["name"] = "klx-host";
  c["origin"]["sw_version"] = KLX_VERSION;
  return c;
}

Json::Value common(const Json::Value& base, const TopicNames& names, uint32_t data_id,
                   const std::string& object, const std::string& name) {
  Json::Value c = base;
  c["name"] = name;
  c["unique_id"] = names.node_id(data_id) + "_" + object;
  return c;
}

std::string config_topic(const TopicNames& names, uint32_t data_id, const char* component,
                         const std::string& object) {
  return names.discovery_prefix + "/" + component + "/" + names.node_id(data_id) + "/" + object +
         "/config";
}

Json::Value sensor(const Json::Value& base, const TopicNames& names, uint32_t data_id,
                   const Point& p) {
  Json::Value c = common(base, names, data_id, p.object, p.name);
  c["state_topic"] = names.value(data_id, p.object);
  if (!p.device_class.empty()) c["device_class"] = p.device_class;
  if (!p.unit.empty()) c["unit_of_measurement"] = p.unit;
  for (const auto& o : p.options) c["options"].append(o);
  if (p.quantity != Quantity::discrete) c["state_class"] = "measurement";
  if (p.quantity == Quantity::discrete && p.options.empty()) c["entity_category"] = "diagnostic";
  return c;
}

Json::Value alarm(const Json::Value& base, const TopicNames& names, uint32_t data_id,
                  const AlarmEntity& a) {
  Json::Value c = common(base, names, data_id, "alarm_" + object_id(a.key),
                         a.name.empty() ? "Alarm " + a.key : a.name);
  c["state_topic"] = names.alarm(data_id, a.key);
  c["value_template"] = "{{ 'ON' if value_json.active else 'OFF' }}";
  c["json_attributes_topic"] = names.alarm(data_id, a.key);
  c["device_class"] = "problem";
  return c;
}

// Its state is the device's availability itself, so it reads "off" (not "unavailable") while
// the device is away: it depends only on the host's connection.
Json::Value connectivity(const Json::Value& base, const TopicNames& names, uint32_t data_id) {
  Json::Value c = common(base, names, data_id, "connectivity", "Connection");
  c.removeMember("availability_mode");
  c["availability"] = Json::Value(Json::arrayValue);
  c["availability"].append(Json::Value(Json::objectValue))["topic"] = names.bridge_availability();
  c["state_topic"] = names.availability(data_id);
  c["payload_on"] = "online";
  c["payload_off"] = "offline";
  c["device_class"] = "connectivity";
  c["entity_category"] = "diagnostic";
  return c;
}

}  // namespace

std::map<std::string, std::string> discovery_configs(const TopicNames& names, uint32_t data_id,
                                                     const std::vector<Point>& points,
                                                     const std::vector<AlarmEntity>& alarms) {
  std::map<std::string, std::string> out;
  const Json::Value base = device_base(names, data_id);
  for (const Point& p : points)
    out[config_topic(names, data_id, "sensor", p.object)] =
        compact_json(sensor(base, names, data_id, p));
  for (const AlarmEntity& a : alarms)
    out[config_topic(names, data_id, "binary_sensor", "alarm_" + object_id(a.key))] =
        compact_json(alarm(base, names, data_id, a));
  out[config_topic(names, data_id, "binary_sensor", "connectivity")] =
      compact_json(connectivity(base, names, data_id));
  return out;
}

}  // namespace klxhost
