#pragma once

#include <boost/lexical_cast.hpp>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>

// Text pieces of the alarm rules, appended to a caller's buffer so that one buffer serves every
// rule of a round.
namespace rule_text {

// A unit number as three digits with leading zeros (001, 012, 273); wider numbers keep all digits.
inline void append_unit(std::string& out, unsigned n) {
  char digits[12];
  int width = 0;
  for (unsigned rest = n; rest != 0 || width < 3; rest /= 10) digits[width++] = '0' + rest % 10;
  while (width > 0) out.push_back(digits[--width]);
}

// A float as the standard stream writes it by default (printf's %g: six significant digits,
// the shorter of fixed and exponent notation, no trailing zeros).
inline void append_float(std::string& out, float v) {
  char digits[32];
  out.append(digits,
             std::to_chars(digits, digits + sizeof digits, v, std::chars_format::general, 6).ptr);
}

// A float as boost::lexical_cast writes it.
inline std::string& assign_lexical(std::string& out, float v) {
  return out = boost::lexical_cast<std::string>(v);
}

// An identifier of a repeated unit: eight-digit prefix, the unit number, then "0".
inline void numbered_code(std::string& out, const char* prefix, unsigned n) {
  out.assign(prefix);
  append_unit(out, n);
  out.push_back('0');
}

// An alarm name of a repeated unit: a head (may be empty), the unit number, a suffix.
inline void numbered_name(std::string& out, const char* head, unsigned n, const char* suffix) {
  out.assign(head);
  append_unit(out, n);
  out.append(suffix);
}

// Entry i of a byte list that the record may not store (capacity 0 in this record): an entry
// beyond the list's capacity reads as 0, and nothing past the array is touched. The capacity is
// passed as sizeof(list), since a zero-length list does not bind to an array reference.
inline uint8_t stored_or_zero(const uint8_t* list, std::size_t capacity, std::size_t i) {
  return i < capacity ? list[i] : 0;
}

}  // namespace rule_text
