#pragma once

// The exporters the command line and the configuration ask for, each from its own settings: the
// command line's options go over the configuration's here, so that no exporter knows them.

#include <memory>
#include <vector>

#include "config.h"
#include "export_sink.h"
#include "klx/store.h"
#include "runner.h"

namespace klxhost {

// Adds the MQTT sink when --mqtt or the configuration's "mqtt"."url" names a broker; an exit
// code, with the reason on standard error, when the settings cannot be used.
// `db` (may be null) keeps undelivered alarm transitions over restarts.
int open_mqtt(const Options& o, const SiteConfig& site, klx::HistoryDb* db,
              std::vector<std::unique_ptr<ExportSink>>& sinks, std::vector<ExportSink*>& list);

// Adds the SNMP subagent when --snmp-agentx or the configuration's "snmp"."agentx_socket" names
// a master; an exit code, with the reason on standard error, when it cannot be set up.
int open_snmp(const Options& o, const SiteConfig& site,
              std::vector<std::unique_ptr<ExportSink>>& sinks, std::vector<ExportSink*>& list);

}  // namespace klxhost
