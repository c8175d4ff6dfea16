#include "config.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <set>
#include <utility>

#include "klx/json_keys.h"
#include "klx/json_read.h"
#include "config_strings.h"
#include "safe_open.h"
#include "settings_check.h"

namespace klxhost {
namespace {

constexpr size_t kMaxConfig = 4 << 20;

using Warnings = std::vector<std::string>;

// The place of a value in messages: `c.json: device 0 (data_id 7): "limits"."x"."low"`.
struct Place {
  Place(std::string file_and_device, std::string key_path = "")
      : file(std::move(file_and_device)), keys(std::move(key_path)) {}
  std::string file;  // the file, and the device when inside one
  std::string keys;
  std::string text() const { return keys.empty() ? file : file + ": " + keys; }
  Place at(const std::string& key) const {
    return {file, (keys.empty() ? "" : keys + ".") + "\"" + key + "\""};
  }
};

[[noreturn]] void fail(const Place& p, const std::string& what) {
  throw ConfigError(p.text() + " " + what);
}

float to_float(const Json::Value& v, const Place& p) {
  if (!v.isNumeric() || v.isBool()) fail(p, "must be a number");
  const double d = v.asDouble();
  if (!std::isfinite(d) || std::fabs(d) > 3.4e38) fail(p, "is out of range");
  return static_cast<float>(d);
}

int to_int(const Json::Value& v, const Place& p) {
  if (!v.isInt() || v.isBool()) fail(p, "must be an integer");
  return v.asInt();
}

uint32_t to_uint(const Json::Value& v, const Place& p) {
  if (!v.isUInt() || v.isBool()) fail(p, "must be an unsigned integer");
  return v.asUInt();
}

bool to_bool(const Json::Value& v, const Place& p) {
  if (!v.isBool()) fail(p, "must be true or false");
  return v.asBool();
}

std::string to_text(const Json::Value& v, const Place& p) {
  if (!v.isString()) fail(p, "must be a string");
  return v.asString();
}

template <int Low, int High>
int to_int_in(const Json::Value& v, const Place& p) {
  const int i = to_int(v, p);
  if (i < Low || i > High)
    fail(p, "must be " + std::to_string(Low) + " to " + std::to_string(High));
  return i;
}

// One key of an object and how its value is read into the object's structure.
template <class T>
struct Field {
  const char* key;
  std::function<void(const Json::Value&, const Place&, T&, Warnings&)> read;
};
template <class T>
using Fields = std::vector<Field<T>>;

template <class T, class M>
Field<T> field(const char* key, M T::*member, M (*convert)(const Json::Value&, const Place&)) {
  return {key, [member, convert](const Json::Value& v, const Place& p, T& out, Warnings&) {
            out.*member = convert(v, p);
          }};
}

[[noreturn]] void refuse_key(const Place& p, const std::string& key,
                             const std::vector<std::string>& known) {
  std::string list;
  for (const auto& k : known) list += (list.empty() ? "" : ", ") + k;
  throw ConfigError(p.text() + ": unknown key \"" + key + "\" (known: " + list + ")");
}

// The one way an object of ours is read: each member by its key's entry, notes skipped, any
// other key refused.
template <class T>
void read_object(const Json::Value& v, const Place& p, const Fields<T>& fields, T& out,
                 Warnings& warnings) {
  if (!v.isObject()) fail(p, "must be an object");
  std::vector<std::string> known;
  for (const auto& f : fields) known.push_back(f.key);
  const auto unknown = klx::unknown_keys(v, known);
  if (!unknown.empty()) refuse_key(p, unknown.front(), known);
  for (const auto& f : fields)
    if (v.isMember(f.key)) f.read(v[f.key], p.at(f.key), out, warnings);
}

template <class T>
T to_object(const Json::Value& v, const Place& p, const Fields<T>& fields) {
  T out;
  Warnings none;
  read_object(v, p, fields, out, none);
  return out;
}

// An object whose members are the caller's names (signal identifiers), each read alike.
template <class X, X (*convert)(const Json::Value&, const Place&)>
std::map<std::string, X> to_table(const Json::Value& v, const Place& p) {
  std::map<std::string, X> out;
  if (v.isNull()) return out;
  if (!v.isObject()) fail(p, "must be an object");
  for (const auto& k : v.getMemberNames())
    if (!klx::is_note_key(k)) out[k] = convert(v[k], p.at(k));
  return out;
}

using AoSetting = KLXVDevice::BAOSetting;

// The fields of KLXVDevice::BAOSetting by name.
AoSetting to_ao_setting(const Json::Value& v, const Place& p) {
  static const Fields<AoSetting> fields = {
      field("abs_enabled", &AoSetting::abs_enabled, to_bool),
      field("abs_delta", &AoSetting::abs_delta, to_float),
      field("pct_enabled", &AoSetting::pct_enabled, to_bool),
      field("pct_delta", &AoSetting::pct_delta, to_float),
      field("period_enabled", &AoSetting::period_enabled, to_bool),
      field("period_minutes", &AoSetting::period_minutes, to_float),
      field("last_time", &AoSetting::last_time, to_uint),
      field("last_value", &AoSetting::last_value, to_float),
  };
  return to_object(v, p, fields);
}

klx::ValueLimit to_limit(const Json::Value& v, const Place& p) {
  static const Fields<klx::ValueLimit> fields = {
      field("low", &klx::ValueLimit::low, to_float),
      field("high", &klx::ValueLimit::high, to_float),
      field("level", &klx::ValueLimit::level, to_int),
  };
  const klx::ValueLimit l = to_object(v, p, fields);
  if (l.low > l.high) fail(p, "has \"low\" above \"high\"");
  return l;
}

uint8_t to_address(const Json::Value& v, const Place& p) {
  return static_cast<uint8_t>(to_int_in<1, 254>(v, p));
}

std::string to_port(const Json::Value& v, const Place& p) {
  if (!v.isString() || v.asString().empty()) fail(p, "must be a port name");
  return v.asString();
}

LineHealthSettings to_line_health(const Json::Value& v, const Place& p) {
  LineHealthSettings s;
  std::string error;
  if (!read_line_health(v, s, error)) fail(p, error);
  return s;
}

void read_settings(const Json::Value& v, const Place& p, DeviceConfig& d, Warnings& warnings) {
  if (!v.isObject()) fail(p, "must be an object");
  d.settings = v;
  check_settings(v, p.text(), warnings);
}

const Fields<DeviceConfig>& device_fields() {
  using D = DeviceConfig;
  static const Fields<D> fields = {
      field("data_id", &D::data_id, to_uint),
      field("address", &D::address, to_address),
      field("port", &D::port, to_port),
      {"settings", read_settings},
      field("alarm_levels", &D::alarm_levels, to_table<int, to_int>),
      field("thresholds", &D::thresholds, to_table<float, to_float>),
      field("ao_settings", &D::ao_settings, to_table<AoSetting, to_ao_setting>),
      field("limits", &D::limits, to_table<klx::ValueLimit, to_limit>),
      field("answer_timeout_ms", &D::answer_timeout_ms, to_int_in<1, 600000>),
      field("inter_char_timeout_ms", &D::inter_char_timeout_ms, to_int_in<1, 60000>),
      field("quiet_interval_ms", &D::quiet_interval_ms, to_int_in<1, 60000>),
      field("rs485", &D::rs485, to_bool),
      field("line_health", &D::line_health, to_line_health),
  };
  return fields;
}

// The device's place names it by its data identifier once that is known.
DeviceConfig read_device(const Json::Value& v, const std::string& where, Warnings& warnings) {
  if (!v.isObject()) fail({where}, "must be an object");
  if (!v.isMember("data_id")) fail({where + ":"}, "\"data_id\" is missing");
  const uint32_t id = to_uint(v["data_id"], Place{where}.at("data_id"));
  DeviceConfig d;
  read_object(v, Place{where + " (data_id " + std::to_string(id) + ")"}, device_fields(), d,
              warnings);
  return d;
}

void read_devices(const Json::Value& v, const Place& p, SiteConfig& c, Warnings& warnings) {
  if (!v.isArray() || v.empty()) fail(p, "must be a list of at least one device");
  std::set<uint32_t> ids;
  for (Json::ArrayIndex i = 0; i < v.size(); ++i) {
    const std::string where = p.file + ": device " + std::to_string(i);
    c.devices.push_back(read_device(v[i], where, warnings));
    if (!ids.insert(c.devices.back().data_id).second)
      fail(Place{where}.at("data_id"), std::to_string(c.devices.back().data_id) + " is used twice");
  }
}

std::string to_listen(const Json::Value& v, const Place& p) {
  if (!v.isString()) fail(p, "must be \"[HOST:]PORT\"");
  return v.asString();
}

// Host names (letters, digits, '.', '-', '_'), as a browser sends them in Host.
std::vector<std::string> to_host_names(const Json::Value& v, const Place& p) {
  if (!v.isArray() || v.empty()) fail(p, "must be a list of host names");
  std::vector<std::string> out;
  for (const auto& name : v) {
    const bool ok = name.isString() && !name.asString().empty() &&
                    name.asString().find_first_not_of("abcdefghijklmnopqrstuvwxyz"
                                                      "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-_") ==
                        std::string::npos;
    if (!ok) fail(p, "must be a list of host names");
    out.push_back(name.asString());
  }
  return out;
}

HttpConfig to_http(const Json::Value& v, const Place& p) {
  static const Fields<HttpConfig> fields = {
      field("listen", &HttpConfig::listen, to_listen),
      field("allowed_hosts", &HttpConfig::allowed_hosts, to_host_names)};
  return to_object(v, p, fields);
}

// A deadband or a heartbeat: 0 or more, 0 meaning every round.
double to_band(const Json::Value& v, const Place& p) {
  if (!v.isNumeric() || v.isBool()) fail(p, "must be a number");
  const double d = v.asDouble();
  if (!std::isfinite(d) || d < 0 || d > 1e9) fail(p, "must be 0 or more");
  return d;
}

Deadbands to_deadbands(const Json::Value& v, const Place& p) {
  using D = Deadbands;
  static const Fields<D> fields = {
      field("ac_voltage", &D::ac_voltage, to_band),   field("dc_voltage", &D::dc_voltage, to_band),
      field("frequency", &D::frequency, to_band),     field("current", &D::current, to_band),
      field("current_pct", &D::current_pct, to_band), field("power", &D::power, to_band),
      field("power_pct", &D::power_pct, to_band),
  };
  return to_object(v, p, fields);
}

// A member of the MQTT settings' exception filter.
template <class M>
Field<MqttSettings> exception_field(const char* key, M ExceptionSettings::*member,
                                    M (*convert)(const Json::Value&, const Place&)) {
  return {key, [member, convert](const Json::Value& v, const Place& p, MqttSettings& out,
                                 Warnings&) { out.exception.*member = convert(v, p); }};
}

MqttSettings to_mqtt(const Json::Value& v, const Place& p) {
  using M = MqttSettings;
  static const Fields<M> fields = {
      field("url", &M::url, to_text),
      field("prefix", &M::prefix, to_text),
      field("site", &M::site, to_text),
      field("client_id", &M::client_id, to_text),
      field("username", &M::username, to_text),
      field("password_file", &M::password_file, to_text),
      field("ca_file", &M::ca_file, to_text),
      field("discovery", &M::discovery, to_bool),
      field("discovery_prefix", &M::discovery_prefix, to_text),
      exception_field("heartbeat_s", &ExceptionSettings::heartbeat_s, to_band),
      exception_field("state_heartbeat_s", &ExceptionSettings::state_heartbeat_s, to_band),
      exception_field("deadband", &ExceptionSettings::deadband, to_deadbands),
  };
  return to_object(v, p, fields);
}

std::string to_socket(const Json::Value& v, const Place& p) {
  if (!v.isString() || v.asString().empty())
    fail(p, "must be the path of the master's AgentX socket");
  return v.asString();
}

double to_stale_after(const Json::Value& v, const Place& p) {
  if (!v.isNumeric() || v.isBool() || !(v.asDouble() >= 1 && v.asDouble() <= 86400))
    fail(p, "must be a number of seconds from 1 to 86400");
  return v.asDouble();
}

template <int Low, int High>
unsigned to_count_in(const Json::Value& v, const Place& p) {
  return static_cast<unsigned>(to_int_in<Low, High>(v, p));
}

SnmpSettings to_snmp(const Json::Value& v, const Place& p) {
  using S = SnmpSettings;
  static const Fields<S> fields = {
      field("agentx_socket", &S::agentx_socket, to_socket),
      field("stale_after_s", &S::stale_after_s, to_stale_after),
      field("agentx_retry_s", &S::agentx_retry_s, to_count_in<1, 3600>),
      field("notify_queue", &S::notify_queue, to_count_in<1, 100000>),
  };
  return to_object(v, p, fields);
}

int64_t to_days(const Json::Value& v, const Place& p) {
  return int64_t(to_int_in<1, 36500>(v, p)) * 86400;
}

int64_t to_max_bytes(const Json::Value& v, const Place& p) {
  if (!v.isIntegral() || v.isBool() || v.asInt64() < 0 ||
      (v.asInt64() > 0 && v.asInt64() < (1 << 20)))
    fail(p, "must be 0 (no cap) or a number of bytes of at least 1048576");
  return v.asInt64();
}

klx::HistoryPolicy to_history(const Json::Value& v, const Place& p) {
  using H = klx::HistoryPolicy;
  static const Fields<H> fields = {
      field("raw_days", &H::raw_seconds, to_days),
      field("minute_days", &H::minute_seconds, to_days),
      field("hour_days", &H::hour_seconds, to_days),
      field("max_bytes", &H::max_bytes, to_max_bytes),
  };
  return to_object(v, p, fields);
}

// The root's keys: a new object of the configuration is one entry here.
const Fields<SiteConfig>& root_fields() {
  using S = SiteConfig;
  static const Fields<S> fields = {
      {"devices", read_devices},
      field("http", &S::http, to_http),
      field("mqtt", &S::mqtt, to_mqtt),
      field("snmp", &S::snmp, to_snmp),
      field("history", &S::history, to_history),
  };
  return fields;
}

}  // namespace

SiteConfig parse_site_config(const std::string& text, const std::string& name) {
  Json::Value root;
  std::string errors;
  if (!klx::parse_json(text, root, errors)) throw ConfigError(name + ": not valid JSON: " + errors);
  check_utf8_strings(root, name);
  const Place file{name};
  if (!root.isObject() || !root.isMember("devices"))
    fail(file.at("devices"), "must be a list of at least one device");
  SiteConfig c;
  read_object(root, file, root_fields(), c, c.warnings);
  return c;
}

SiteConfig load_site_config(const std::string& path) {
  std::string text, error;
  if (!read_regular_file(path, kMaxConfig, text, error)) throw ConfigError(path + ": " + error);
  return parse_site_config(text, path);
}

// The built-in simulator's power system has a DC panel: the default device polls it too.
SiteConfig default_site_config() {
  SiteConfig c;
  c.devices.emplace_back().settings["appSetting"]["has_dc"] = 1;
  return c;
}

}  // namespace klxhost
