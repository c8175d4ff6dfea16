#include "ops_sinks.h"

#include <iostream>

#include "config.h"
#include "service_notify.h"

namespace klxhost {

int add_ops_sinks(const Options& o, const SiteConfig& site,
                  std::vector<std::unique_ptr<ExportSink>>& sinks,
                  std::vector<ExportSink*>& sink_list, StatusEndpoint*& endpoint) {
  endpoint = nullptr;
  if (auto notifier = make_service_notifier()) {
    sink_list.push_back(notifier.get());
    sinks.push_back(std::move(notifier));
  }
  const std::string listen = o.http.empty() ? site.http.listen : o.http;
  if (listen.empty()) return kExitOk;
  std::string error;
  auto e = StatusEndpoint::start(listen, site.mqtt.site, error);
  if (!e) {
    std::cerr << "klx-host: http: " << error << "\n";
    return kExitFailure;
  }
  std::cerr << "klx-host: http: listening on " << e->address() << "\n";
  endpoint = e.get();
  sink_list.push_back(e.get());
  sinks.push_back(std::move(e));
  return kExitOk;
}

}  // namespace klxhost
