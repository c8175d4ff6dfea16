#include <cstdint>
#include <stdexcept>

#include "klx/frame.h"
#include "klx/hex.h"
#include "runner.h"

namespace klxhost {

bool parse_ioctl(const std::string& text, IoctlRequest& out, std::string& error) {
  const auto colon = text.find(':');
  if (colon == std::string::npos || colon == 0) return error = "expected CODE:HEX", false;
  const std::string code = text.substr(0, colon), hex = text.substr(colon + 1);
  size_t used = 0;
  try {
    const long v = std::stol(code, &used, 10);
    if (used != code.size() || v < INT32_MIN || v > INT32_MAX) throw std::out_of_range(code);
    out.code = static_cast<int>(v);
  } catch (const std::exception&) {
    return error = "bad code " + code, false;
  }
  if (hex.size() % 2 || hex.size() > 2 * klx::kFrameMaxInfoBytes)
    return error = "input must be pairs of hex digits", false;
  out.input.clear();
  if (!klx::from_hex(hex, out.input)) return error = "not hex: " + hex, false;
  return true;
}

}  // namespace klxhost
