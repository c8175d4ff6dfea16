#pragma once

// Asking one address what it is: presence, protocol version, groups, address, manufacturer
// information and one analog answer of each group.

#include <optional>

#include "found.h"
#include "scan_line.h"

namespace klxscan {

// Nothing when the address stayed silent; otherwise what answered, with the reason when
// klx-host could not poll it.
std::optional<Found> probe_address(Exchanger& line, uint8_t address, int baud);

// "RTN 0x04 (CID2 invalid)"
std::string rtn_text(uint8_t rtn);

}  // namespace klxscan
