#pragma once

// What the scan learned of one address that answered.

#include <cstdint>
#include <string>
#include <vector>

namespace klxscan {

// The protocol version the plug-in speaks (its protocol_ver_).
constexpr uint8_t kPluginVersion = 0x20;

struct Identity {
  bool known = false;
  std::string device_name;       // UTF-8
  std::string software_version;  // "3.12"
  std::string maker;             // UTF-8
};

// -1: not learned.
struct Layout {
  int ac_lines = -1;
  int modules = -1;
  int dc_panels = -1;
  int dc_count_byte = -1;    // 1: the DC answer carries a panel-count byte; 0: it does not
  float dc_first_value = 0;  // the 4 bytes after the DC data flag, read as a float
  bool no_40_arg = false;    // the AC analog command was refused with its data byte
  bool no_42_arg = false;    // the DC analog command was refused with its data byte
};

struct Found {
  uint8_t address = 0;
  int baud = 0;
  int version = -1;             // VER of its answers
  std::vector<uint8_t> groups;  // CID1s that answered 0x4F with RTN 0
  Identity identity;
  Layout layout;
  std::string reason;              // why klx-host cannot poll it; empty: it can
  std::vector<std::string> notes;  // how each finding was made
  bool usable() const { return reason.empty(); }
  bool has_group(uint8_t g) const {
    for (uint8_t x : groups)
      if (x == g) return true;
    return false;
  }
};

}  // namespace klxscan
