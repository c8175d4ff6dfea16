#pragma once

// The MQTT export: each device's state after every completed round, its alarm transitions and
// its availability, with Home Assistant discovery configs, to one broker over one connection
// (see docs/mqtt.md).

#include <memory>
#include <string>
#include <vector>

#include "config.h"
#include "export_sink.h"
#include "runner.h"

namespace klxhost {

// The settings in force: the configuration's "mqtt" object with the command line's options over
// it. Throws ConfigError when they cannot be used (bad URL, unreadable password file, ...).
struct MqttPlan {
  MqttSettings settings;
  MqttUrl url;
  std::string password;
};
MqttPlan plan_mqtt(const Options& o, const MqttSettings& configured);

// Adds the MQTT sink when a broker is configured; an exit code, with the reason on standard
// error, when the settings cannot be used.
// `db` (may be null) keeps undelivered alarm transitions over restarts.
int open_mqtt(const Options& o, const SiteConfig& site, klx::HistoryDb* db,
              std::vector<std::unique_ptr<ExportSink>>& sinks, std::vector<ExportSink*>& list);

}  // namespace klxhost
