#pragma once

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cstdio>
#include <ostream>

// The numbers of the diagnostic lines, formatted with std::to_chars: the same characters as
// printf and the standard stream write, without their machinery on every line of every round.

namespace diag {

// A float as `std::cout << v` writes it with the stream's default format (six significant
// digits, %g style). A stream set to any other format gets the stream's own formatting.
struct Float {
  float v;
};

inline std::ostream& operator<<(std::ostream& os, Float f) {
  if (os.flags() != (std::ios_base::dec | std::ios_base::skipws) || os.precision() != 6 ||
      os.width() != 0)
    return os << f.v;
  char text[32];
  const auto r = std::to_chars(text, text + sizeof text, static_cast<double>(f.v),
                               std::chars_format::general, 6);
  return os.write(text, r.ptr - text);
}

// printf's %x of an unsigned value.
struct Hex {
  unsigned v;
};

// printf's %f of a float: fixed notation, six decimals.
struct Fixed {
  float v;
};

// One printf line, built up and written to standard output's C stream as printf would write it
// (not flushed: the next std::endl line flushes it with its own).
class Line {
 public:
  Line& operator<<(const char* text) {
    while (*text && n_ < sizeof buf_) buf_[n_++] = *text++;
    return *this;
  }
  Line& operator<<(char c) {
    if (n_ < sizeof buf_) buf_[n_++] = c;
    return *this;
  }
  Line& operator<<(int v) { return put(std::to_chars(at(), end(), v)); }
  Line& operator<<(Hex h) { return put(std::to_chars(at(), end(), h.v, 16)); }
  Line& operator<<(Fixed f) {
    // The C locale's decimal point is printf's; a locale with another one gets printf itself.
    if (*std::localeconv()->decimal_point != '.') {
      const size_t space = sizeof buf_ - n_;
      const int k = std::snprintf(at(), space, "%f", static_cast<double>(f.v));
      if (k > 0 && space > 0) n_ += std::min(static_cast<size_t>(k), space - 1);
      return *this;
    }
    return put(std::to_chars(at(), end(), static_cast<double>(f.v), std::chars_format::fixed, 6));
  }
  void write() const { std::fwrite(buf_, 1, n_, stdout); }

 private:
  char* at() { return buf_ + n_; }
  char* end() { return buf_ + sizeof buf_; }
  Line& put(std::to_chars_result r) {
    if (r.ec == std::errc()) n_ = static_cast<size_t>(r.ptr - buf_);
    return *this;
  }

  char buf_[192];  // a float in %f takes at most 47 characters
  size_t n_ = 0;
};

}  // namespace diag
