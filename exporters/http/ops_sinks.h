#pragma once

// The operations side of the host: the HTTP endpoint, added to the runner's export sinks.

#include <memory>
#include <string>
#include <vector>

#include "export_sink.h"
#include "status_endpoint.h"

namespace klxhost {

struct OpsSettings {
  std::string http_listen;  // "[HOST:]PORT"; empty: no HTTP endpoint
  std::string site;         // labels the metrics
  std::string history_db;   // serves /api/history from it (read-only) when set
  std::vector<std::string> allowed_hosts;  // Host names served; empty: any
};

// False, with the reason on standard error, when the listen text is not "[HOST:]PORT" (a mistake
// in the command line or the configuration); warns when the address is not a loopback one.
bool check_ops_settings(const OpsSettings& settings);

// False, with the reason on standard error, when the endpoint cannot listen. `endpoint` is the
// HTTP endpoint among the sinks, or nullptr when none was asked for.
bool add_ops_sinks(const OpsSettings& settings, std::vector<std::unique_ptr<ExportSink>>& sinks,
                   std::vector<ExportSink*>& sink_list, StatusEndpoint*& endpoint);

}  // namespace klxhost
