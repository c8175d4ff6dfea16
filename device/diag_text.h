#pragma once

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cstdio>
#include <ostream>

#include "device/float_text.h"

// The numbers of the diagnostic lines: the same characters as printf and the standard stream
// write, without their machinery on every line of every round.

namespace diag {

// A float as `std::cout << v` writes it with the stream's default format (six significant
// digits, %g style).
struct Float {
  float v;
};

// Whether a stream writes numbers in its default way: decimal, no padding, six digits, the
// classic locale. A stream set otherwise gets the stream's own formatting.
bool plain(const std::ostream& os);

std::ostream& operator<<(std::ostream& os, Float f);

// One std::cout line ended by std::endl, built in a buffer and written in one call, then flushed
// as std::endl flushes: the same characters as the pieces inserted one by one, which a stream
// that is not plain gets instead.
class CoutLine {
 public:
  CoutLine();
  CoutLine(const CoutLine&) = delete;
  CoutLine& operator=(const CoutLine&) = delete;

  CoutLine& operator<<(const char* text);
  CoutLine& operator<<(char c);
  CoutLine& operator<<(int v);
  CoutLine& operator<<(unsigned v);
  CoutLine& operator<<(long v);
  CoutLine& operator<<(unsigned long v);
  CoutLine& operator<<(Float f);

  // The end of the line: what std::endl does.
  void end();

 private:
  template <class Value>
  CoutLine& pass(const Value& value);
  template <class Int>
  CoutLine& number(Int v);
  void put(const char* text, size_t n);

  char buf_[160];
  size_t n_ = 0;
  bool plain_;
};

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
    if (sizeof buf_ - n_ < 48)  // too little room for any float: written if it fits
      return put(std::to_chars(at(), end(), static_cast<double>(f.v), std::chars_format::fixed, 6));
    n_ = static_cast<size_t>(float_text::fixed(at(), f.v) - buf_);
    return *this;
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
