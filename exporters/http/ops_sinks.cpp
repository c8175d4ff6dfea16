#include "ops_sinks.h"

#include <iostream>

#include "diag_line.h"

namespace klxhost {

bool check_ops_settings(const OpsSettings& settings) {
  if (settings.http_listen.empty()) return true;
  std::string error, host;
  unsigned short port = 0;
  if (!parse_listen(settings.http_listen, host, port, error)) {
    DiagLine() << "klx-host: http: " << error << "\n";
    return false;
  }
  if (!is_loopback_address(host))
    DiagLine() << "klx-host: http: warning: " << host
               << " is not a loopback address: the metrics and status are served to the network"
               << (settings.allowed_hosts.empty() ? " (and no \"allowed_hosts\" are set)" : "")
               << "\n";
  return true;
}

bool add_ops_sinks(const OpsSettings& settings, std::vector<std::unique_ptr<ExportSink>>& sinks,
                   std::vector<ExportSink*>& sink_list, StatusEndpoint*& endpoint) {
  endpoint = nullptr;
  if (settings.http_listen.empty()) return true;
  std::string error;
  std::string warning;
  HttpLimits limits;
  limits.allowed_hosts = settings.allowed_hosts;
  auto e = StatusEndpoint::start(settings.http_listen, settings.site, limits, error,
                                 settings.history_db, &warning);
  if (!e) {
    DiagLine() << "klx-host: http: " << error << "\n";
    return false;
  }
  if (!warning.empty()) DiagLine() << "klx-host: http: no trends: " << warning << "\n";
  DiagLine() << "klx-host: http: listening on " << e->address() << "\n";
  endpoint = e.get();
  sink_list.push_back(e.get());
  sinks.push_back(std::move(e));
  return true;
}

}  // namespace klxhost
