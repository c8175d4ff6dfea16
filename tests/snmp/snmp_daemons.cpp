#include "snmp_daemons.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/run_tool.h"
#include "support/scratch.h"

namespace snmp_test {
namespace {

const char* kUser = "klxread";
const char* kAuth = "auth-pass-2026";
const char* kPriv = "priv-pass-2026";

void end(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  pid = -1;
}

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

}  // namespace

bool tools_installed() {
  for (const char* p : {"/usr/sbin/snmpd", "/usr/sbin/snmptrapd", "/usr/bin/snmpbulkwalk"})
    if (access(p, X_OK) != 0) return false;
  return true;
}

bool wait_for(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

Output run(const std::vector<std::string>& argv) {
  const ToolRun r = run_program("/usr/bin/" + argv[0], {argv.begin() + 1, argv.end()});
  return {r.status, r.out + r.err};
}

Daemons::Daemons()
    : dir_(klx_test::scratch_path("snmp")),
      agent_port_(free_local_port(SOCK_DGRAM)),
      trap_port_(free_local_port(SOCK_DGRAM)) {
  mkdir(dir_.c_str(), 0700);
  mkdir((dir_ + "/agentx").c_str(), 0750);
  mkdir((dir_ + "/state").c_str(), 0700);
  socket_ = dir_ + "/agentx/master";
  // Neither daemon may read or write the system's files; no MIB files are loaded.
  setenv("SNMP_PERSISTENT_DIR", (dir_ + "/state").c_str(), 1);
  setenv("MIBS", "", 1);
  std::ofstream(dir_ + "/snmpd.conf")
      << "agentAddress udp:127.0.0.1:" << agent_port_ << "\n"
      << "master agentx\nagentXSocket " << socket_ << "\nagentXPerms 0660 0750\n"
      << "createUser " << kUser << " SHA-256 \"" << kAuth << "\" AES \"" << kPriv << "\"\n"
      << "rouser " << kUser << " priv\n"
      << "trapsess -Ci -t 1 -r 5 -v3 -l authPriv -u klxtrap -a SHA-256 -A trap-auth-2026 -x AES "
      << "-X trap-priv-2026 udp:127.0.0.1:" << trap_port_ << "\n";
  std::ofstream(dir_ + "/snmptrapd.conf")
      << "createUser klxtrap SHA-256 \"trap-auth-2026\" AES \"trap-priv-2026\"\n"
      << "authUser log klxtrap priv\n";
}

Daemons::~Daemons() {
  end(snmpd_);
  end(trapd_);
}

bool Daemons::start_snmpd() {
  std::remove(socket_.c_str());
  snmpd_ =
      spawn_daemon({"snmpd", "-f", "-C", "-c", dir_ + "/snmpd.conf", "-Lf", dir_ + "/snmpd.log"},
                   dir_ + "/snmpd.out");
  return snmpd_ > 0 && wait_for([&] { return exists(socket_); }, std::chrono::seconds(10));
}

void Daemons::stop_snmpd() { end(snmpd_); }

bool Daemons::start_trapd() {
  const std::string log = dir_ + "/informs.log";
  trapd_ = spawn_daemon({"snmptrapd", "-f", "-C", "-c", dir_ + "/snmptrapd.conf", "-On", "-Lf", log,
                         "-F", "INFORM %v\n", "udp:127.0.0.1:" + std::to_string(trap_port_)},
                        dir_ + "/snmptrapd.out");
  return trapd_ > 0 && wait_for([&] { return exists(log); }, std::chrono::seconds(10));
}

std::vector<std::string> Daemons::informs() const {
  std::vector<std::string> out;
  std::istringstream in(slurp(dir_ + "/informs.log"));
  for (std::string line; std::getline(in, line);)
    if (line.rfind("INFORM ", 0) == 0) out.push_back(line.substr(7));
  return out;
}

std::vector<std::string> Daemons::v3(const std::string& tool, const std::string& level) const {
  std::vector<std::string> a = {tool, "-v3", "-l", level, "-u", kUser, "-On", "-t", "2", "-r", "1"};
  if (level != "noAuthNoPriv") a.insert(a.end(), {"-a", "SHA-256", "-A", kAuth});
  if (level == "authPriv") a.insert(a.end(), {"-x", "AES", "-X", kPriv});
  a.push_back(address());
  return a;
}

}  // namespace snmp_test
