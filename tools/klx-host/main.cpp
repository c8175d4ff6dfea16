// klx-host: runs the plug-in as the host framework would, against a serial line, a TCP device
// server, the built-in simulator or a replay script.
#include <CLI/CLI.hpp>
#include <iostream>

#include "cli_exit.h"
#include "klx/plugin_path.h"
#include "runner.h"

int main(int argc, char** argv) {
  klxhost::Options o;
  std::vector<std::string> ioctls;
  CLI::App app{"Runs the korvantis_419 plug-in against a power system, the simulator or a script"};
  app.add_option("--config", o.config, "devices, settings and alarm tables (JSON)");
  app.add_option("--port", o.port,
                 "port of the first device: sim, sim:MODEL.json, replay:FILE, "
                 "tcp:HOST:PORT or a serial device")
      ->check(klxcli::not_empty());
  app.add_option("--rounds", o.rounds, "exit once every device has completed N rounds")
      ->check(klxcli::above(1, true));
  app.add_option("--timeout", o.timeout_s, "seconds a round may take with --rounds (default 60)")
      ->check(klxcli::above(0));
  app.add_option("--trace", o.trace, "write every host call as a JSON line to FILE");
  app.add_option("--capture", o.capture,
                 "append every exchange to FILE in the replay format (replay:FILE plays it back)");
  app.add_option("--db", o.db, "SQLite database for history, alarm events and reports");
  app.add_option("--cache", o.cache, "cache file of the latest records, restored at start");
  app.add_option("--get", o.gets, "after the rounds: Get_Value of NAME (repeatable)");
  app.add_option("--ioctl", ioctls, "after the rounds: DeviceIoControl CODE:HEX (repeatable)");
  app.add_option("--mqtt", o.mqtt_url,
                 "publish state, alarms and availability to mqtt[s]://[USER@]HOST[:PORT]");
  app.add_option("--mqtt-ca", o.mqtt_ca, "CA certificates (PEM) for an mqtts:// broker");
  app.add_option("--mqtt-password-file", o.mqtt_password_file,
                 "file whose first line is the MQTT password");
  app.add_option("--http", o.http,
                 "serve /metrics, /api/state and the status page on [HOST:]PORT "
                 "(a bare port: loopback only)")
      ->check(klxcli::not_empty());
  app.add_option("--snmp-agentx", o.snmp_agentx,
                 "serve readings and alarms as an AgentX subagent of the snmpd whose socket is "
                 "PATH");
  app.add_option("--plugin", o.plugin,
                 "plug-in to load (default: ../lib/korvantis_419.so or "
                 "../lib/klx/plugins/korvantis_419.so from the program's folder)");
  app.footer(
      "Device options (\"settings\"), --get names, --ioctl codes and alarm identifiers: "
      "docs/device-options.md, installed as /usr/share/doc/korvantis-419/device-options.md");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return klxcli::exit_code(app, e);
  }
  for (const auto& text : ioctls) {
    klxhost::IoctlRequest r;
    std::string error;
    if (!klxhost::parse_ioctl(text, r, error)) {
      std::cerr << "klx-host: --ioctl " << text << ": " << error << "\n";
      return klxhost::kExitUsage;
    }
    o.ioctls.push_back(std::move(r));
  }
  if (o.plugin.empty()) o.plugin = klx::default_plugin_path();
  return klxhost::run(o);
}
