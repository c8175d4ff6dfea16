#pragma once

#include <memory>
#include <vector>

#include "config.h"
#include "export_sink.h"
#include "runner.h"

namespace klxhost {

// Adds the SNMP subagent when --snmp-agentx or the configuration's "snmp"."agentx_socket" names
// a master; an exit code, with the reason on standard error, when it cannot be set up.
int open_snmp(const Options& o, const SiteConfig& site,
              std::vector<std::unique_ptr<ExportSink>>& sinks, std::vector<ExportSink*>& list);

}  // namespace klxhost
