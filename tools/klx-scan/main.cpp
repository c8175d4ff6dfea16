// klx-scan: finds the power systems on a line (address, speed, protocol version, maker, layout)
// and writes the klx-host configuration that polls them.
#include <json/writer.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <iostream>

#include "cli_exit.h"
#include "report.h"
#include "scan.h"

namespace {

constexpr int kExitOk = 0, kExitNothing = 1, kExitUsage = 2;

std::string json_text(const Json::Value& v) {
  Json::StreamWriterBuilder b;
  b["indentation"] = "  ";
  b["emitUTF8"] = true;
  return Json::writeString(b, v) + "\n";
}

int write_config(const std::string& path, bool force, const klxscan::ScanResult& r,
                 const std::string& port) {
  const Json::Value config = klxscan::to_config(r.found, port);
  if (config["devices"].empty()) {
    std::cerr << "klx-scan: no device klx-host can poll: " << path << " not written\n";
    return kExitNothing;
  }
  std::string error;
  if (!klxscan::write_file(path, json_text(config), force, error)) {
    std::cerr << "klx-scan: " << error << "\n";
    return kExitUsage;
  }
  std::cerr << "klx-scan: " << path << " written: " << config["devices"].size() << " devices\n";
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  klxscan::ScanOptions o;
  std::string addresses = "1-254", bauds = "9600", config;
  int timeout_ms = 200, quiet_ms = 50;
  bool json = false, force = false;
  CLI::App app{"Finds the power systems on a line and writes the klx-host configuration for them"};
  app.add_option("port", o.port, "serial device, tcp:HOST:PORT, sim or sim:MODEL.json")->required();
  app.add_option("--addresses", addresses, "addresses to ask, e.g. 1-32,40 (default 1-254)");
  app.add_option("--bauds", bauds,
                 "speeds to try on a serial port, in order, e.g. 1200,2400,4800,9600,19200 "
                 "(default 9600)");
  app.add_option("--timeout-ms", timeout_ms,
                 "answer time-out per command, after its own wire time (default 200)")
      ->check(CLI::Range(10, 60000));
  app.add_option("--quiet-ms", quiet_ms,
                 "quiet line required after a time-out or a damaged answer (default 50)")
      ->check(CLI::Range(1, 60000));
  app.add_flag("--json", json, "print a JSON list of the devices instead of the table");
  app.add_option("--write-config", config, "write a klx-host configuration to FILE");
  app.add_flag("--force", force, "with --write-config: replace an existing FILE");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return klxcli::exit_code(app, e);
  }
  std::string error;
  if (!klxscan::parse_addresses(addresses, o.addresses, error) ||
      !klxscan::parse_bauds(bauds, o.bauds, error)) {
    std::cerr << "klx-scan: " << error << "\n";
    return kExitUsage;
  }
  // Refused before the scan, not after a minute of it.
  if (!config.empty() && !force && access(config.c_str(), F_OK) == 0) {
    std::cerr << "klx-scan: " << config << " exists; --force replaces it\n";
    return kExitUsage;
  }
  o.timing.answer_timeout = std::chrono::milliseconds(timeout_ms);
  o.timing.quiet = std::chrono::milliseconds(quiet_ms);
  const klxscan::ScanResult r = klxscan::scan(o, std::cerr);
  if (!r.error.empty()) {
    std::cerr << "klx-scan: " << r.error << "\n";
    return kExitUsage;
  }
  if (json)
    std::cout << json_text(klxscan::to_json(r.found));
  else
    klxscan::print_table(std::cout, r.found);
  if (!config.empty()) return write_config(config, force, r, o.port);
  for (const auto& f : r.found)
    if (f.usable()) return kExitOk;
  return kExitNothing;
}
