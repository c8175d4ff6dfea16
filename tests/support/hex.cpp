#include "support/hex.h"

#include <stdexcept>

#include "klx/hex.h"

namespace hex {

std::vector<uint8_t> decode(const std::string& text) {
  std::vector<uint8_t> out;
  if (!klx::from_hex(text, out, true)) throw std::invalid_argument("not hex: " + text);
  return out;
}

std::string encode(const std::vector<uint8_t>& bytes) { return klx::to_hex(bytes); }

}  // namespace hex
