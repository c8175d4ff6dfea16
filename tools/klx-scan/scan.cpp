#include "scan.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>
#include <sstream>

#include "klx/transport.h"
#include "ports.h"
#include "probe.h"

namespace klxscan {
namespace {

using Clock = std::chrono::steady_clock;

// A device server or the simulator sets no speed from here: one pass is all there is.
bool is_serial(const std::string& port) {
  return port != "sim" && port.rfind("sim:", 0) != 0 && port.rfind("tcp:", 0) != 0;
}

constexpr std::chrono::milliseconds kConnectLimit{3000};

bool scan_speed(const ScanOptions& o, int baud, std::map<uint8_t, Found>& found, std::ostream& log,
                std::string& error) {
  std::unique_ptr<klx::Transport> transport;
  try {
    transport = klxhost::make_port(o.port, {1}, baud, false);
  } catch (const klxhost::PortError& e) {
    error = e.what();
    return false;
  }
  ScanLine line(std::move(transport), baud, o.timing);
  if (!line.open(error, kConnectLimit)) {
    if (error.find(o.port) == std::string::npos) error = o.port + ": " + error;
    return false;
  }
  const auto start = Clock::now();
  size_t asked = 0, answered = 0;
  for (uint8_t a : o.addresses) {
    const auto known = found.find(a);
    if (known != found.end() && known->second.usable()) continue;
    ++asked;
    std::optional<Found> f = probe_address(line, a, baud);
    if (!f) continue;
    ++answered;
    if (known == found.end() || f->usable()) found[a] = std::move(*f);
  }
  const std::chrono::duration<double> took = Clock::now() - start;
  log << "klx-scan: " << line.describe() << ": " << asked << " addresses asked, " << answered
      << " answered, in " << static_cast<int>(took.count() * 10) / 10.0 << " s\n";
  return true;
}

bool number(const std::string& s, long lo, long hi, long& out) {
  char* end = nullptr;
  out = std::strtol(s.c_str(), &end, 10);
  return !s.empty() && *end == '\0' && out >= lo && out <= hi;
}

}  // namespace

ScanResult scan(const ScanOptions& o, std::ostream& log) {
  ScanResult r;
  std::map<uint8_t, Found> found;
  std::vector<int> bauds = o.bauds;
  if (!is_serial(o.port) && bauds.size() > 1) {
    log << "klx-scan: " << o.port << " sets no line speed: scanned once, as " << bauds.front()
        << " Bd\n";
    bauds.resize(1);
  }
  for (int baud : bauds)
    if (!scan_speed(o, baud, found, log, r.error)) return r;
  for (auto& [a, f] : found) r.found.push_back(std::move(f));
  return r;
}

bool parse_addresses(const std::string& text, std::vector<uint8_t>& out, std::string& error) {
  std::vector<bool> seen(255, false);
  std::istringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    const size_t dash = item.find('-');
    long lo = 0, hi = 0;
    const bool ok = dash == std::string::npos
                        ? number(item, 1, 254, lo) && (hi = lo, true)
                        : number(item.substr(0, dash), 1, 254, lo) &&
                              number(item.substr(dash + 1), 1, 254, hi) && lo <= hi;
    if (!ok) return error = "\"" + item + "\": expected N or N-M, addresses 1 to 254", false;
    for (long a = lo; a <= hi; ++a) seen[static_cast<size_t>(a)] = true;
  }
  out.clear();
  for (size_t a = 1; a < seen.size(); ++a)
    if (seen[a]) out.push_back(static_cast<uint8_t>(a));
  if (out.empty()) return error = "no address given", false;
  return true;
}

bool parse_bauds(const std::string& text, std::vector<int>& out, std::string& error) {
  std::istringstream in(text);
  std::string item;
  out.clear();
  while (std::getline(in, item, ',')) {
    long b = 0;
    if (!number(item, 1, 4000000, b) || klx::termios_speed(static_cast<int>(b)) == 0)
      return error = "\"" + item + "\": not a line speed (1200 to 115200)", false;
    if (std::find(out.begin(), out.end(), b) == out.end()) out.push_back(static_cast<int>(b));
  }
  if (out.empty()) return error = "no speed given", false;
  return true;
}

}  // namespace klxscan
