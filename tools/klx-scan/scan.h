#pragma once

// The scan of a port: every address of a range at every speed given, each address found once
// (a usable finding at one speed ends the search for it).

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "found.h"
#include "scan_line.h"

namespace klxscan {

struct ScanOptions {
  std::string port;
  std::vector<uint8_t> addresses;
  std::vector<int> bauds;
  LineTiming timing;
};

struct ScanResult {
  std::vector<Found> found;  // by address
  std::string error;         // the port could not be used (exit 2)
};

ScanResult scan(const ScanOptions& o, std::ostream& log);

// "1-32,40" → 1..32 and 40; false with the reason on a bad list.
bool parse_addresses(const std::string& text, std::vector<uint8_t>& out, std::string& error);
// "1200,9600" → speeds termios knows; false with the reason otherwise.
bool parse_bauds(const std::string& text, std::vector<int>& out, std::string& error);

}  // namespace klxscan
