#pragma once

// This host's own: hex text of bytes, the one implementation for the frames (upper case, as the
// line wants), the record cache, replay files, the tools and the tests. Header-only, so the
// store, the tools and the simulator use it without linking the host library.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace klx {

// The value of a hex digit of either case, or -1.
constexpr int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The digit of a nibble (0..15).
constexpr char hex_char(unsigned nibble, bool upper = false) {
  return (upper ? "0123456789ABCDEF" : "0123456789abcdef")[nibble & 0x0F];
}

inline void append_hex(std::string& out, const uint8_t* bytes, size_t n, bool upper = false) {
  for (size_t i = 0; i < n; ++i) {
    out += hex_char(bytes[i] >> 4, upper);
    out += hex_char(bytes[i], upper);
  }
}

inline std::string to_hex(const uint8_t* bytes, size_t n, bool upper = false) {
  std::string out;
  out.reserve(n * 2);
  append_hex(out, bytes, n, upper);
  return out;
}

inline std::string to_hex(const std::vector<uint8_t>& bytes, bool upper = false) {
  return to_hex(bytes.data(), bytes.size(), upper);
}

struct HexDecode {
  enum class Error { kNone, kBadDigit, kOddLength };
  Error error = Error::kNone;
  size_t at = 0;  // kBadDigit: where the character that is not a hex digit stands
  explicit operator bool() const { return error == Error::kNone; }
};

// Pairs of hex digits of either case to bytes, appended to `out`. With `skip_blanks`, spaces,
// tabs, CRs and LFs anywhere are ignored ("7E 20 01" as a trace shows it). Callers bound the
// text's size first.
inline HexDecode from_hex(std::string_view text, std::vector<uint8_t>& out,
                          bool skip_blanks = false) {
  int high = -1;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (skip_blanks && (c == ' ' || c == '\t' || c == '\n' || c == '\r')) continue;
    const int d = hex_digit(c);
    if (d < 0) return {HexDecode::Error::kBadDigit, i};
    if (high < 0) {
      high = d;
    } else {
      out.push_back(static_cast<uint8_t>(high << 4 | d));
      high = -1;
    }
  }
  if (high >= 0) return {HexDecode::Error::kOddLength, text.size()};
  return {};
}

}  // namespace klx
