#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace klxhost {

// Exit codes of klx-host.
enum ExitCode { kExitOk = 0, kExitFailure = 1, kExitUsage = 2 };

struct IoctlRequest {
  int code = 0;
  std::vector<uint8_t> input;
};

struct Options {
  std::string config;
  std::string port;     // overrides the first device's port when set
  unsigned rounds = 0;  // 0: poll until interrupted
  double timeout_s = 60.0;
  std::string trace;
  std::string capture;  // every exchange appended in the replay format
  std::string db;
  std::string cache;
  std::vector<std::string> gets;
  std::vector<IoctlRequest> ioctls;
  std::string plugin;
  std::string mqtt_url;  // over the configuration's "mqtt" settings when set
  std::string mqtt_ca;
  std::string mqtt_password_file;
  std::string http;         // "[HOST:]PORT" of the HTTP endpoint; overrides the configuration's
  std::string snmp_agentx;  // the master's AgentX socket; overrides the configuration's
};

// "CODE:HEX" (decimal code, hex input bytes; "CODE:" passes no input).
bool parse_ioctl(const std::string& text, IoctlRequest& out, std::string& error);

// Loads the plug-in, sets the devices up, polls and answers the requests; returns the exit code.
int run(const Options& options);

}  // namespace klxhost
