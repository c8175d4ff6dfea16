#pragma once

// One first round of a power system with AC and DC sections: the answers of every command, the
// device's configuration, and the same round played in-process on a TestDevice (answers laid
// straight into rx_buf_), which is what the runner must reproduce through its lines and frames.

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "support/device_probe.h"

namespace round_script {

using Key = std::pair<uint8_t, uint8_t>;

// Info bytes (hex) of the answer to each command; data-flag bytes 0, so a later round would
// be the short one (40/41, 41/41, 41/43, 42/41).
inline const std::map<Key, std::string>& answers() {
  static const std::map<Key, std::string> a = {
      // flag, 1 line: a b c f, no extras, ac_a ac_b ac_c
      {{0x40, 0x41}, "00 01 00006643 00006743 00006543 00004842 00 00002041 00002041 00002041"},
      {{0x40, 0x43}, "00 01 00 00"},                                 // 1 switch, no extras
      {{0x40, 0x44}, "00 01 00000000 00 00 00000000 00 00 000000"},  // no alarms
      {{0x41, 0x41}, "00 00005842 02 0000a041 00 0000b041 00"},      // 54 V; 20 A, 22 A
      {{0x41, 0x43}, "00 02 000000 00 000000 00"},
      {{0x41, 0x44}, "00 02 00 00 00 00"},
      {{0x42, 0x41}, "00 01 00005642 0000f041 00 00 00"},  // 1 panel: 53.5 V, 30 A
      {{0x42, 0x44}, "00 01 00 00 00"},
  };
  return a;
}

// The device's tables and settings, as the runner's configuration gives them.
inline std::string device_json(const std::string& port) {
  return R"({"data_id":7,"address":1,"port":")" + port +
         R"(","settings":{"appSetting":{"has_dc":"1"}},"alarm_levels":{"120600180010":1},)"
         R"("ao_settings":{"419610401001":{"period_enabled":true,"period_minutes":15}}})";
}

inline std::string config_json(const std::string& port) {
  return R"({"devices":[)" + device_json(port) + "]}";
}

// The replay file of the round: one line per command.
inline std::string replay_text() {
  std::string text;
  char cid[8];
  for (const auto& [key, info] : answers()) {
    std::string compact;
    for (char c : info)
      if (c != ' ') compact += c;
    snprintf(cid, sizeof cid, "%02x", key.first);
    text += std::string(R"({"cid1":")") + cid;
    snprintf(cid, sizeof cid, "%02x", key.second);
    text += std::string(R"(","cid2":")") + cid + R"(","info":")" + compact + "\"}\n";
  }
  return text;
}

// The round played in-process: the recorder holds every host call.
void play_in_process(TestDevice& dev);

}  // namespace round_script
