#pragma once

// Why a device completed no round: read from the line's and the protocol's counters, said as a
// person setting the line up can act on it (an address that never answers, commands the device
// refuses and what that says about the configured sections, damaged answers, a line down).

#include <cstdint>
#include <string>

#include "klx/api.h"

class PMBusProtocol;

namespace klx {

class Link;

struct RoundFacts {
  uint8_t address = 1;
  uint64_t commands = 0;
  uint64_t answers = 0;
  uint64_t timeouts = 0;
  uint64_t bad_frames = 0;
  uint64_t wrong_address = 0;    // frames from another address
  uint64_t rtn_by_code[8] = {};  // refusals by RTN code 1 to 7; [0] any other code
  uint16_t last_refused = 0;     // CID1 << 8 | CID2 of the last refused command
  std::string line_error;        // why the line is down, when it is
};

KLX_API RoundFacts round_facts(const PMBusProtocol& device, const Link& link);

// One line of text, without the program's name.
KLX_API std::string diagnose_round(const RoundFacts& facts);

}  // namespace klx
