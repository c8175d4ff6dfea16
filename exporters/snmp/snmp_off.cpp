// Built without net-snmp: the subagent is refused when asked for.
#include "snmp_sink.h"

namespace klxhost {

std::unique_ptr<ExportSink> start_subagent(const SnmpSettings&, const std::vector<SnmpDevice>&,
                                           std::string& error) {
  error = "this build has no net-snmp";
  return nullptr;
}

}  // namespace klxhost
