#include <cstdint>
#include <stdexcept>

#include "klx/frame.h"
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
  for (size_t i = 0; i < hex.size(); i += 2) {
    const std::string pair = hex.substr(i, 2);
    if (pair.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
      return error = "not hex: " + hex, false;
    out.input.push_back(static_cast<uint8_t>(std::stoul(pair, nullptr, 16)));
  }
  return true;
}

}  // namespace klxhost
