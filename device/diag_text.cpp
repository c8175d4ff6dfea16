#include "device/diag_text.h"

#include <charconv>
#include <cstring>
#include <iostream>
#include <locale>

#include "device/float_text.h"

// Out of line: every diagnostic line of the plug-in comes through here, and one copy of it is
// smaller than the dozen a header would leave in the plug-in.
namespace diag {

bool plain(const std::ostream& os) {
  return os.flags() == (std::ios_base::dec | std::ios_base::skipws) && os.precision() == 6 &&
         os.width() == 0 && os.getloc() == std::locale::classic();
}

std::ostream& operator<<(std::ostream& os, Float f) {
  if (!plain(os)) return os << f.v;
  char text[32];
  return os.write(text, float_text::general(text, f.v, 6) - text);
}

// The plain stream's way needs only the value: one copy for the signed and one for the unsigned.
template <class Int>
CoutLine& CoutLine::number(Int v) {
  char text[24];
  put(text, static_cast<size_t>(std::to_chars(text, text + sizeof text, v).ptr - text));
  return *this;
}

template <class Value>
CoutLine& CoutLine::pass(const Value& value) {
  std::cout << value;
  return *this;
}

void CoutLine::put(const char* text, size_t n) {
  if (n > sizeof buf_ - 1 - n_) {  // a long line goes out in parts
    std::cout.write(buf_, static_cast<std::streamsize>(n_));
    n_ = 0;
    if (n > sizeof buf_ - 1) {
      std::cout.write(text, static_cast<std::streamsize>(n));
      return;
    }
  }
  std::memcpy(buf_ + n_, text, n);
  n_ += n;
}

CoutLine::CoutLine() : plain_(plain(std::cout)) {}

// A stream that is not plain is given each value as it is, in its own type.
CoutLine& CoutLine::operator<<(const char* text) {
  if (!plain_) return pass(text);
  put(text, std::strlen(text));
  return *this;
}
CoutLine& CoutLine::operator<<(char c) {
  if (!plain_) return pass(c);
  put(&c, 1);
  return *this;
}
CoutLine& CoutLine::operator<<(int v) { return plain_ ? number(long{v}) : pass(v); }
CoutLine& CoutLine::operator<<(unsigned v) { return plain_ ? number(0UL + v) : pass(v); }
CoutLine& CoutLine::operator<<(long v) { return plain_ ? number(v) : pass(v); }
CoutLine& CoutLine::operator<<(unsigned long v) { return plain_ ? number(v) : pass(v); }

CoutLine& CoutLine::operator<<(Float f) {
  if (!plain_) return pass(f);
  char text[32];
  put(text, static_cast<size_t>(float_text::general(text, f.v, 6) - text));
  return *this;
}

void CoutLine::end() {
  if (!plain_) {
    std::cout << std::endl;
    return;
  }
  buf_[n_++] = '\n';  // room for it is always kept
  std::cout.write(buf_, static_cast<std::streamsize>(n_));
  std::cout.flush();
  n_ = 0;
}

}  // namespace diag
