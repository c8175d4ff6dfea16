#pragma once

// The SNMP export: klx-host as an AgentX subagent of the system's snmpd (docs/snmp.md). The
// master owns UDP, the SNMPv3 users, access control and notification targets; this side holds
// no credentials and listens on nothing. net-snmp runs inside the poll loop through the sink's
// descriptor hooks: no thread, no blocking wait.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "export_sink.h"
#include "klx/site_model.h"
#include "snmp_settings.h"

namespace klxhost {

// A configured device, in configuration order (its position fixes its entity indices).
struct SnmpDevice {
  uint32_t data_id = 0;
  klx::DeviceLayout layout;
};

// Starts the subagent (it connects to the master now, and again while the master is away);
// nullptr with `error` when net-snmp cannot be set up. One per process.
std::unique_ptr<ExportSink> start_subagent(const SnmpSettings& settings,
                                           const std::vector<SnmpDevice>& devices,
                                           std::string& error);

}  // namespace klxhost
