#pragma once

// The runner's configuration (--config FILE):
//   {"devices":[{"data_id":7,"address":1,"port":"sim","settings":{...},
//                "alarm_levels":{...},"thresholds":{...},"ao_settings":{...}}]}
// and, beyond those, per device: "answer_timeout_ms" (answer time-out before the wire time,
// default 1000), "inter_char_timeout_ms" (default 20 character times, at least 50 ms),
// "quiet_interval_ms" (after a failed exchange, default 500), "rs485" (RS-485 direction control
// on a serial port, default false) and "limits"
// ({"<id>":{"low":x,"high":y,"level":n}}: the host's own limits for CheckThreshold).

#include <json/value.h>

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "klx/store.h"
#include "klx/vdevice.h"
#include "settings.h"

namespace klxhost {

struct DeviceConfig {
  uint32_t data_id = 1;
  uint8_t address = 1;
  std::string port = "sim";
  Json::Value settings{Json::objectValue};
  std::map<std::string, int> alarm_levels;
  std::map<std::string, float> thresholds;
  std::map<std::string, KLXVDevice::BAOSetting> ao_settings;
  std::map<std::string, klx::ValueLimit> limits;
  int answer_timeout_ms = 1000;
  int inter_char_timeout_ms = 0;  // 0: 20 character times, at least 50 ms
  int quiet_interval_ms = 500;
  bool rs485 = false;
};

// A configuration that cannot be used; the text names the device and the key.
struct ConfigError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The devices of a configuration text; `name` labels the messages. Throws ConfigError. Unknown
// keys are reported through `warnings` and otherwise ignored; keys starting with "_" are notes
// (a "_comment") and ignored silently.
std::vector<DeviceConfig> parse_config(const std::string& text, const std::string& name,
                                       std::vector<std::string>& warnings);
std::vector<DeviceConfig> load_config(const std::string& path, std::vector<std::string>& warnings);
// The host-wide settings: "http": {"listen": "[HOST:]PORT"} for the HTTP endpoint, and the site
// name ("mqtt": {"site": ...}) that labels the metrics. Throws ConfigError.
struct ServiceConfig {
  std::string http_listen;
  std::string site;
};
ServiceConfig parse_service_config(const std::string& text, const std::string& name);
ServiceConfig load_service_config(const std::string& path);
// The "mqtt" object of a configuration ({"url", "prefix", "site", "client_id", "username",
// "password_file", "ca_file", "discovery", "discovery_prefix"}); the defaults when it has none.
// Throws ConfigError.
MqttSettings parse_mqtt_config(const std::string& text, const std::string& name);
MqttSettings load_mqtt_config(const std::string& path);
// One device as the runner has it without --config: data identifier 1, address 1, port sim, its
// DC section polled ("has_dc" 1).
std::vector<DeviceConfig> default_config();

}  // namespace klxhost
