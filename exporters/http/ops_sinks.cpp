#include "ops_sinks.h"

#include <iostream>

namespace klxhost {

bool add_ops_sinks(const OpsSettings& settings, std::vector<std::unique_ptr<ExportSink>>& sinks,
                   std::vector<ExportSink*>& sink_list, StatusEndpoint*& endpoint) {
  endpoint = nullptr;
  if (settings.http_listen.empty()) return true;
  std::string error;
  std::string warning;
  auto e = StatusEndpoint::start(settings.http_listen, settings.site, error, settings.history_db,
                                 &warning);
  if (!e) {
    std::cerr << "klx-host: http: " << error << "\n";
    return false;
  }
  if (!warning.empty()) std::cerr << "klx-host: http: no trends: " << warning << "\n";
  std::cerr << "klx-host: http: listening on " << e->address() << "\n";
  endpoint = e.get();
  sink_list.push_back(e.get());
  sinks.push_back(std::move(e));
  return true;
}

}  // namespace klxhost
