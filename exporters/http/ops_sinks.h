#pragma once

// The operations side of the host: the HTTP endpoint (--http or "http": {"listen"}) and the
// service manager's notifier (under systemd), added to the runner's export sinks.

#include <memory>
#include <vector>

#include "config.h"
#include "export_sink.h"
#include "runner.h"
#include "status_endpoint.h"

namespace klxhost {

// Returns an exit code (0: ok) and says why on standard error; `endpoint` is the HTTP endpoint
// among the sinks, or nullptr when none was asked for.
int add_ops_sinks(const Options& o, const SiteConfig& site,
                  std::vector<std::unique_ptr<ExportSink>>& sinks,
                  std::vector<ExportSink*>& sink_list, StatusEndpoint*& endpoint);

}  // namespace klxhost
