#include "config.h"

#include <cmath>
#include <set>

#include "klx/json_keys.h"
#include "klx/json_read.h"
#include "settings_check.h"

namespace klxhost {
namespace {

constexpr size_t kMaxConfig = 4 << 20;

// Names the place of a value in messages: `config.json: device 0 (data_id 7): "alarm_levels"."x"`.
struct Where {
  std::string prefix;
  std::string at(const std::string& key) const { return prefix + ": \"" + key + "\""; }
  std::string at(const std::string& key, const std::string& member) const {
    return at(key) + ".\"" + member + "\"";
  }
};

[[noreturn]] void fail(const std::string& where, const std::string& what) {
  throw ConfigError(where + " " + what);
}

float to_float(const Json::Value& v, const std::string& where) {
  if (!v.isNumeric() || v.isBool()) fail(where, "must be a number");
  const double d = v.asDouble();
  if (!std::isfinite(d) || std::fabs(d) > 3.4e38) fail(where, "is out of range");
  return static_cast<float>(d);
}

int to_int(const Json::Value& v, const std::string& where) {
  if (!v.isInt() || v.isBool()) fail(where, "must be an integer");
  return v.asInt();
}

bool to_bool(const Json::Value& v, const std::string& where) {
  if (!v.isBool()) fail(where, "must be true or false");
  return v.asBool();
}

const Json::Value& object_member(const Json::Value& dev, const char* key, const Where& w) {
  const Json::Value& v = dev[key];
  if (!v.isNull() && !v.isObject()) fail(w.at(key), "must be an object");
  return v;
}

KLXVDevice::BAOSetting ao_setting(const Json::Value& v, const std::string& where) {
  if (!v.isObject()) fail(where, "must be an object");
  KLXVDevice::BAOSetting s;
  for (const auto& name : v.getMemberNames()) {
    if (klx::is_note_key(name)) continue;
    const std::string at = where + ".\"" + name + "\"";
    const Json::Value& m = v[name];
    if (name == "abs_enabled")
      s.abs_enabled = to_bool(m, at);
    else if (name == "abs_delta")
      s.abs_delta = to_float(m, at);
    else if (name == "pct_enabled")
      s.pct_enabled = to_bool(m, at);
    else if (name == "pct_delta")
      s.pct_delta = to_float(m, at);
    else if (name == "period_enabled")
      s.period_enabled = to_bool(m, at);
    else if (name == "period_minutes")
      s.period_minutes = to_float(m, at);
    else if (name == "last_time") {
      if (!m.isUInt()) fail(at, "must be an unsigned integer");
      s.last_time = m.asUInt();
    } else if (name == "last_value")
      s.last_value = to_float(m, at);
    else
      fail(at, "is not a field of the report setting");
  }
  return s;
}

klx::ValueLimit value_limit(const Json::Value& v, const std::string& where) {
  if (!v.isObject()) fail(where, "must be an object");
  klx::ValueLimit l;
  for (const auto& name : v.getMemberNames()) {
    if (klx::is_note_key(name)) continue;
    const std::string at = where + ".\"" + name + "\"";
    if (name == "low")
      l.low = to_float(v[name], at);
    else if (name == "high")
      l.high = to_float(v[name], at);
    else if (name == "level")
      l.level = to_int(v[name], at);
    else
      fail(at, "is not low, high or level");
  }
  if (l.low > l.high) fail(where, "has \"low\" above \"high\"");
  return l;
}

void read_tables(const Json::Value& dev, const Where& w, DeviceConfig& d) {
  const Json::Value& levels = object_member(dev, "alarm_levels", w);
  for (const auto& k : levels.getMemberNames())
    d.alarm_levels[k] = to_int(levels[k], w.at("alarm_levels", k));
  const Json::Value& thresholds = object_member(dev, "thresholds", w);
  for (const auto& k : thresholds.getMemberNames())
    d.thresholds[k] = to_float(thresholds[k], w.at("thresholds", k));
  const Json::Value& ao = object_member(dev, "ao_settings", w);
  for (const auto& k : ao.getMemberNames())
    d.ao_settings[k] = ao_setting(ao[k], w.at("ao_settings", k));
  const Json::Value& limits = object_member(dev, "limits", w);
  for (const auto& k : limits.getMemberNames())
    d.limits[k] = value_limit(limits[k], w.at("limits", k));
}

// A line timing in milliseconds, 1 to 60000.
void read_ms(const Json::Value& dev, const Where& w, const char* key, int& out) {
  if (!dev.isMember(key)) return;
  out = to_int(dev[key], w.at(key));
  if (out < 1 || out > 60000) fail(w.at(key), "must be 1 to 60000");
}

void read_scalars(const Json::Value& dev, const Where& w, DeviceConfig& d,
                  std::vector<std::string>& warnings) {
  if (!dev.isMember("data_id")) fail(w.prefix + ":", "\"data_id\" is missing");
  if (!dev["data_id"].isUInt() || dev["data_id"].isBool())
    fail(w.at("data_id"), "must be an unsigned integer");
  d.data_id = dev["data_id"].asUInt();
  if (dev.isMember("address")) {
    const int a = to_int(dev["address"], w.at("address"));
    if (a < 1 || a > 254) fail(w.at("address"), "must be 1 to 254");
    d.address = static_cast<uint8_t>(a);
  }
  if (dev.isMember("port")) {
    if (!dev["port"].isString() || dev["port"].asString().empty())
      fail(w.at("port"), "must be a port name");
    d.port = dev["port"].asString();
  }
  if (dev.isMember("settings")) {
    if (!dev["settings"].isObject()) fail(w.at("settings"), "must be an object");
    d.settings = dev["settings"];
    check_settings(d.settings, w.at("settings"), warnings);
  }
  if (dev.isMember("answer_timeout_ms")) {
    d.answer_timeout_ms = to_int(dev["answer_timeout_ms"], w.at("answer_timeout_ms"));
    if (d.answer_timeout_ms < 1 || d.answer_timeout_ms > 600000)
      fail(w.at("answer_timeout_ms"), "must be 1 to 600000");
  }
  if (dev.isMember("rs485")) d.rs485 = to_bool(dev["rs485"], w.at("rs485"));
  read_ms(dev, w, "inter_char_timeout_ms", d.inter_char_timeout_ms);
  read_ms(dev, w, "quiet_interval_ms", d.quiet_interval_ms);
}

DeviceConfig read_device(const Json::Value& dev, const std::string& prefix,
                         std::vector<std::string>& warnings) {
  if (!dev.isObject()) fail(prefix, "must be an object");
  const std::string unknown = klx::unknown_key(
      dev, {"data_id", "address", "port", "settings", "alarm_levels", "thresholds", "ao_settings",
            "limits", "answer_timeout_ms", "rs485", "inter_char_timeout_ms", "quiet_interval_ms"});
  if (!unknown.empty()) fail(prefix + ":", "unknown key \"" + unknown + "\"");
  DeviceConfig d;
  read_scalars(dev, Where{prefix}, d, warnings);
  read_tables(dev, Where{prefix + " (data_id " + std::to_string(d.data_id) + ")"}, d);
  return d;
}

Json::Value parse_root(const std::string& text, const std::string& name) {
  Json::Value root;
  std::string errors;
  if (!klx::parse_json(text, root, errors)) throw ConfigError(name + ": not valid JSON: " + errors);
  return root;
}

std::string read_config_text(const std::string& path) {
  std::string text, error;
  if (!klx::read_file_capped(path, kMaxConfig, text, error)) throw ConfigError(path + ": " + error);
  return text;
}

void mqtt_string(const Json::Value& m, const char* key, const Where& w, std::string& out) {
  if (!m.isMember(key)) return;
  if (!m[key].isString()) fail(w.at(key), "must be a string");
  out = m[key].asString();
}

}  // namespace

std::vector<DeviceConfig> parse_config(const std::string& text, const std::string& name,
                                       std::vector<std::string>& warnings) {
  const Json::Value root = parse_root(text, name);
  if (!root.isObject() || !root["devices"].isArray() || root["devices"].empty())
    throw ConfigError(name + ": \"devices\" must be a list of at least one device");
  std::vector<DeviceConfig> out;
  std::set<uint32_t> ids;
  for (Json::ArrayIndex i = 0; i < root["devices"].size(); ++i) {
    const std::string prefix = name + ": device " + std::to_string(i);
    out.push_back(read_device(root["devices"][i], prefix, warnings));
    if (!ids.insert(out.back().data_id).second)
      fail(prefix + ": \"data_id\"", std::to_string(out.back().data_id) + " is used twice");
  }
  return out;
}

std::vector<DeviceConfig> load_config(const std::string& path, std::vector<std::string>& warnings) {
  return parse_config(read_config_text(path), path, warnings);
}

MqttSettings parse_mqtt_config(const std::string& text, const std::string& name) {
  const Json::Value root = parse_root(text, name);
  MqttSettings s;
  if (!root.isObject() || !root.isMember("mqtt")) return s;
  const Json::Value& m = root["mqtt"];
  const Where w{name + ": \"mqtt\""};
  if (!m.isObject()) fail(w.prefix, "must be an object");
  static const std::set<std::string> known = {"url",       "prefix",    "site",
                                              "client_id", "username",  "password_file",
                                              "ca_file",   "discovery", "discovery_prefix"};
  for (const auto& k : m.getMemberNames())
    if (!known.count(k)) fail(w.at(k), "is not a key of the MQTT settings");
  mqtt_string(m, "url", w, s.url);
  mqtt_string(m, "prefix", w, s.prefix);
  mqtt_string(m, "site", w, s.site);
  mqtt_string(m, "client_id", w, s.client_id);
  mqtt_string(m, "username", w, s.username);
  mqtt_string(m, "password_file", w, s.password_file);
  mqtt_string(m, "ca_file", w, s.ca_file);
  mqtt_string(m, "discovery_prefix", w, s.discovery_prefix);
  if (m.isMember("discovery")) s.discovery = to_bool(m["discovery"], w.at("discovery"));
  return s;
}

MqttSettings load_mqtt_config(const std::string& path) {
  return parse_mqtt_config(read_config_text(path), path);
}

ServiceConfig parse_service_config(const std::string& text, const std::string& name) {
  const Json::Value root = parse_root(text, name);
  ServiceConfig c;
  const Json::Value& http = root.isObject() ? root["http"] : Json::Value::nullSingleton();
  if (!http.isNull() && !http.isObject()) fail(name + ": \"http\"", "must be an object");
  if (http.isMember("listen")) {
    if (!http["listen"].isString()) fail(name + ": \"http\".\"listen\"", "must be \"[HOST:]PORT\"");
    c.http_listen = http["listen"].asString();
  }
  const Json::Value& mqtt = root.isObject() ? root["mqtt"] : Json::Value::nullSingleton();
  if (mqtt.isObject() && mqtt["site"].isString()) c.site = mqtt["site"].asString();
  return c;
}

ServiceConfig load_service_config(const std::string& path) {
  return parse_service_config(read_config_text(path), path);
}

// The built-in simulator's power system has a DC panel: the default device polls it too.
std::vector<DeviceConfig> default_config() {
  DeviceConfig d;
  d.settings["appSetting"]["has_dc"] = 1;
  return {d};
}

}  // namespace klxhost
