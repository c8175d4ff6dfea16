#pragma once

#include <string>

namespace klxhost {

// "snmp": the AgentX subagent (docs/snmp.md); off while agentx_socket is empty.
struct SnmpSettings {
  std::string agentx_socket;
  double stale_after_s = 60;    // without a completed round this long, values are withdrawn
  unsigned agentx_retry_s = 5;  // reconnection interval while the master is away
  unsigned notify_queue = 64;   // notifications kept while the master is away
};

}  // namespace klxhost
