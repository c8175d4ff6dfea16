#include "klx/round_diagnosis.h"

#include <cstdio>

#include "klx/frame.h"
#include "klx/link.h"
#include "klx/pmbus_protocol.h"

namespace klx {
namespace {

std::string hex2(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", v & 0xFF);
  return buf;
}

const char* rtn_meaning(unsigned code) {
  static const char* const names[8] = {"",
                                       "version error",
                                       "CHKSUM error",
                                       "LCHKSUM error",
                                       "unknown command",
                                       "command format error",
                                       "invalid data",
                                       "code 7"};
  return names[code < 8 ? code : 0];
}

// What a refused command of a section says about the device options.
std::string section_hint(uint16_t command, const uint64_t (&rtn)[8]) {
  const unsigned cid1 = command >> 8;
  if (rtn[4] && cid1 == 0x42) return "; has_dc is set but the device has no DC section";
  if (rtn[4] && cid1 == 0x40) return "; has_ac is set but the device has no AC section";
  if (rtn[5] && cid1 == 0x40) return "; the AC command's data byte does not fit: try no_40_arg";
  if (rtn[5] && cid1 == 0x42) return "; the DC commands' data byte does not fit: try no_42_arg";
  if (rtn[1]) return "; the device speaks another protocol version";
  return "";
}

std::string refusals(const RoundFacts& f) {
  std::string s = "the device refused commands:";
  const char* sep = " ";
  for (unsigned code = 1; code <= 8; ++code) {
    const unsigned i = code % 8;  // code 0 stands for any other: listed last
    if (!f.rtn_by_code[i]) continue;
    s += sep + std::to_string(f.rtn_by_code[i]) +
         (i ? " x RTN " + hex2(i) + " (" + rtn_meaning(i) + ")" : " x another RTN code");
    sep = ", ";
  }
  s += ", the last to " + hex2(f.last_refused >> 8) + "/" + hex2(f.last_refused);
  return s + section_hint(f.last_refused, f.rtn_by_code);
}

uint64_t refused(const RoundFacts& f) {
  uint64_t n = 0;
  for (const uint64_t c : f.rtn_by_code) n += c;
  return n;
}

}  // namespace

RoundFacts round_facts(const PMBusProtocol& device, const Link& link) {
  RoundFacts f;
  const ProtocolCounters& p = device.protocol_counters();
  f.address = device.address_;
  f.commands = p.commands;
  f.answers = p.answers;
  f.timeouts = p.timeouts;
  f.bad_frames = p.bad_frames;
  f.wrong_address = device.frame_counters().wrong_address;
  for (unsigned i = 0; i < 8; ++i) f.rtn_by_code[i] = p.rtn_by_code[i];
  f.last_refused = p.last_rtn_command;
  if (!link.is_open()) f.line_error = link.last_error();
  return f;
}

std::string diagnose_round(const RoundFacts& f) {
  const std::string adr = std::to_string(f.address);
  if (f.commands == 0)
    return "no command could be sent: the line never opened" +
           (f.line_error.empty() ? std::string() : " (" + f.line_error + ")");
  if (refused(f)) return refusals(f);
  if (f.answers == 0 && f.wrong_address)
    return "address " + adr + " never answered, but " + std::to_string(f.wrong_address) +
           " frames came from another address: is the device's address " + adr + "?";
  if (f.answers == 0 && f.bad_frames)
    return "every answer was damaged (" + std::to_string(f.bad_frames) +
           "): check the line speed, the wiring and the RS-485 termination";
  if (f.answers == 0)
    return "address " + adr + " never answered (" + std::to_string(f.timeouts) +
           " commands timed out): check the address, the wiring and the line speed";
  return std::to_string(f.answers) + " answers, " + std::to_string(f.timeouts) + " time-outs and " +
         std::to_string(f.bad_frames) +
         " damaged answers, but no round finished: the line loses too much";
}

}  // namespace klx
