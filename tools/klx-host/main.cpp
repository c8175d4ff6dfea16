// klx-host: runs the plug-in as the host framework would, against a serial line, a TCP device
// server, the built-in simulator or a replay script.
#include <CLI/CLI.hpp>
#include <iostream>

#include "plugin.h"
#include "runner.h"

int main(int argc, char** argv) {
  klxhost::Options o;
  std::vector<std::string> ioctls;
  CLI::App app{"Runs the korvantis_419 plug-in against a power system, the simulator or a script"};
  app.add_option("--config", o.config, "devices, settings and alarm tables (JSON)");
  app.add_option("--port", o.port,
                 "port of the first device: sim, sim:MODEL.json, replay:FILE, "
                 "tcp:HOST:PORT or a serial device");
  app.add_option("--rounds", o.rounds, "exit once every device has completed N rounds")
      ->check(CLI::PositiveNumber);
  app.add_option("--timeout", o.timeout_s, "seconds a round may take with --rounds (default 60)")
      ->check(CLI::PositiveNumber);
  app.add_option("--trace", o.trace, "write every host call as a JSON line to FILE");
  app.add_option("--db", o.db, "SQLite database for history, alarm events and reports");
  app.add_option("--cache", o.cache, "cache file of the latest records, restored at start");
  app.add_option("--get", o.gets, "after the rounds: Get_Value of NAME (repeatable)");
  app.add_option("--ioctl", ioctls, "after the rounds: DeviceIoControl CODE:HEX (repeatable)");
  app.add_option("--mqtt", o.mqtt_url,
                 "publish state, alarms and availability to mqtt[s]://[USER@]HOST[:PORT]");
  app.add_option("--mqtt-ca", o.mqtt_ca, "CA certificates (PEM) for an mqtts:// broker");
  app.add_option("--mqtt-password-file", o.mqtt_password_file,
                 "file whose first line is the MQTT password");
  app.add_option("--plugin", o.plugin, "plug-in to load (default ../lib/korvantis_419.so)");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int rc = app.exit(e);
    return rc == 0 ? 0 : klxhost::kExitUsage;
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
  if (o.plugin.empty()) o.plugin = klxhost::default_plugin_path(argv[0]);
  return klxhost::run(o);
}
