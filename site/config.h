#pragma once

// The site's configuration (--config FILE), read once:
//   {"devices":[{"data_id":7,"address":1,"port":"sim","settings":{...},
//                "alarm_levels":{...},"thresholds":{...},"ao_settings":{...}}],
//    "http":{"listen":"[HOST:]PORT"}, "mqtt":{...}, "snmp":{...}, "history":{...}}
// Per device, beyond those: "answer_timeout_ms" (answer time-out before the wire time, default
// 1000), "inter_char_timeout_ms" (default 20 character times, at least 50 ms),
// "quiet_interval_ms" (after a failed exchange, default 500), "rs485" (RS-485 direction control
// on a serial port, default false) and "limits" ({"<id>":{"low":x,"high":y,"level":n}}: the
// host's own limits for CheckThreshold).
//
// Every object is read by a table of its keys (config.cpp); a key no table knows is refused with
// its place (klx/json_keys.h), a "_" key is a note. The device's "settings" belong to the plug-in:
// about them the host only warns (settings_check.h).

#include <json/value.h>

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "klx/store.h"
#include "klx/vdevice.h"
#include "line_health.h"
#include "settings.h"
#include "snmp_settings.h"

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
  LineHealthSettings line_health;  // "line_health": {"window_s", "degrading", "failing"}
};

// "http": the HTTP endpoint (metrics, state, status page); --http overrides it.
struct HttpConfig {
  std::string listen;  // "[HOST:]PORT"; empty: no endpoint
  // "allowed_hosts": the Host names served (DNS rebinding: a page under another name is refused);
  // empty: any.
  std::vector<std::string> allowed_hosts;
};

struct SiteConfig {
  std::vector<DeviceConfig> devices;
  HttpConfig http;
  MqttSettings mqtt;  // its "site" names the site on every output
  SnmpSettings snmp;  // off while its agentx_socket is empty; --snmp-agentx overrides it
  // "history": {"raw_days": 7, "minute_days": 90, "hour_days": 1825, "max_bytes": 0}: how long
  // each tier is kept (whole days, 1 to 36,500) and the cap (0: none, else at least 1 MiB).
  klx::HistoryPolicy history;
  // What the plug-in would misread in the devices' settings; the configuration is still used.
  std::vector<std::string> warnings;
};

// A configuration that cannot be used; the text names the file, the device and the key.
struct ConfigError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// `name` labels the messages. Throw ConfigError.
SiteConfig parse_site_config(const std::string& text, const std::string& name);
SiteConfig load_site_config(const std::string& path);
// The runner without --config: one device, data identifier 1, address 1, port sim, its DC
// section polled ("has_dc" 1).
SiteConfig default_site_config();

}  // namespace klxhost
