#pragma once

// A real snmpd (master agent, SNMPv3 authPriv only, AgentX on a socket in a scratch folder) and a
// real snmptrapd that logs the informs snmpd sends, both on 127.0.0.1 and free UDP ports; and the
// net-snmp command-line tools run against them. Everything started here is killed by the
// destructor, and dies with the test process.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace snmp_test {

// True when snmpd, snmptrapd and the command-line tools are installed.
bool tools_installed();

// Polls `done` until it holds or `limit` passes.
bool wait_for(const std::function<bool()>& done,
              std::chrono::milliseconds limit = std::chrono::milliseconds(30000));

struct Output {
  int status = -1;
  std::string text;  // standard output and error together
};
// Runs a net-snmp tool (in /usr/bin) to its end.
Output run(const std::vector<std::string>& argv);

class Daemons {
 public:
  Daemons();
  ~Daemons();
  bool start_snmpd();  // false when its AgentX socket does not appear
  void stop_snmpd();
  bool start_trapd();
  const std::string& agentx_socket() const { return socket_; }
  const std::string& dir() const { return dir_; }
  // The informs received so far, one line each (numeric OIDs, varbinds tab-separated).
  std::vector<std::string> informs() const;
  // An SNMPv3 authPriv request of the read-only user: "snmpbulkwalk", "snmpget", "snmpset".
  std::vector<std::string> v3(const std::string& tool, const std::string& level = "authPriv") const;
  std::string address() const { return "udp:127.0.0.1:" + std::to_string(agent_port_); }

 private:
  std::string dir_, socket_;
  int agent_port_ = 0, trap_port_ = 0;
  pid_t snmpd_ = -1, trapd_ = -1;
};

}  // namespace snmp_test
