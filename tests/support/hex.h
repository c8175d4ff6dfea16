#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hex {

// "01 00 5c 43" or "01005C43" (blanks ignored, either case) to bytes; throws on bad input.
std::vector<uint8_t> decode(const std::string& text);
// Bytes to lower-case hex without blanks.
std::string encode(const std::vector<uint8_t>& bytes);

}  // namespace hex
