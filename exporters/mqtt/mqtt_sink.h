#pragma once

// The MQTT export: each device's state after every completed round, its alarm transitions and
// its availability, with Home Assistant discovery configs, to one broker over one connection
// (see docs/mqtt.md).

#include <memory>
#include <string>
#include <vector>

#include "config.h"
#include "export_sink.h"

namespace klxhost {

// The settings in force, checked and completed (the site name defaults to the host's name).
// Throws ConfigError when they cannot be used (bad URL, unreadable password file, ...).
struct MqttPlan {
  MqttSettings settings;
  MqttUrl url;
  std::string password;
};
MqttPlan plan_mqtt(const MqttSettings& settings);

// The MQTT sink, connecting in the background; null when no broker is configured. Throws
// ConfigError when the settings cannot be used. `db` (may be null) keeps undelivered alarm
// transitions over restarts.
std::unique_ptr<ExportSink> start_mqtt(const MqttSettings& settings, const SiteConfig& site,
                                       klx::HistoryDb* db);

}  // namespace klxhost
