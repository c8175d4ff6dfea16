#include "export_setup.h"

#include <iostream>

#include "diag_line.h"
#include "mqtt_sink.h"
#include "snmp_sink.h"

namespace klxhost {

int open_mqtt(const Options& o, const SiteConfig& site, klx::HistoryDb* db,
              std::vector<std::unique_ptr<ExportSink>>& sinks, std::vector<ExportSink*>& list) {
  MqttSettings s = site.mqtt;
  if (!o.mqtt_url.empty()) s.url = o.mqtt_url;
  if (!o.mqtt_ca.empty()) s.ca_file = o.mqtt_ca;
  if (!o.mqtt_password_file.empty()) s.password_file = o.mqtt_password_file;
  try {
    if (auto sink = start_mqtt(s, site, db)) {
      list.push_back(sink.get());
      sinks.push_back(std::move(sink));
    }
  } catch (const ConfigError& e) {
    DiagLine() << "klx-host: " << e.what() << "\n";
    return kExitUsage;
  }
  return kExitOk;
}

int open_snmp(const Options& o, const SiteConfig& site,
              std::vector<std::unique_ptr<ExportSink>>& sinks, std::vector<ExportSink*>& list) {
  SnmpSettings s = site.snmp;
  if (!o.snmp_agentx.empty()) s.agentx_socket = o.snmp_agentx;
  if (s.agentx_socket.empty()) return kExitOk;
  std::vector<SnmpDevice> served;
  for (const auto& d : site.devices)
    served.push_back({d.data_id, klx::layout_of_settings(d.settings)});
  std::string error;
  auto sink = start_subagent(s, served, error);
  if (!sink) {
    DiagLine() << "klx-host: snmp: " << error << "\n";
    return kExitFailure;
  }
  DiagLine() << "klx-host: snmp: AgentX subagent of " << s.agentx_socket << "\n";
  list.push_back(sink.get());
  sinks.push_back(std::move(sink));
  return kExitOk;
}

}  // namespace klxhost
