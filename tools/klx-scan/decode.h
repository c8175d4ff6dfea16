#pragma once

// Reading the identification and analog answers: pure functions of the info bytes.

#include <cstdint>
#include <string>
#include <vector>

#include "found.h"

namespace klxscan {

// A text field of the manufacturer answer as UTF-8: trailing spaces and NULs dropped; printable
// ASCII as it is, else read as GB18030 (the firmware's encoding) when that gives text without
// control characters; otherwise every byte outside printable ASCII as \xHH.
std::string field_text(const uint8_t* bytes, size_t n);
// 0x51: device name (10 bytes), software version (2), maker (20). A short answer gives what it
// holds.
Identity decode_identity(const std::vector<uint8_t>& info);

// The layout from one analog answer of each group (empty: that group did not answer).
void decode_ac(const std::vector<uint8_t>& info, Layout& layout);
void decode_rectifiers(const std::vector<uint8_t>& info, Layout& layout);
// The plug-in's own rule: the 4 bytes after the data flag are the first panel's voltage when
// they read as a float strictly between 40 and 60; then no panel-count byte and one panel.
void decode_dc(const std::vector<uint8_t>& info, Layout& layout);

}  // namespace klxscan
