#pragma once

#include <cstdint>
#include <cstring>

// Walks the info bytes of an answer without ever touching a byte at or beyond the length it was
// given, whatever the counts inside the answer claim.
//
// A read that would pass the end fails: it returns false, leaves its output untouched and marks
// the reader overrun. skip() only moves the position, so it may run past the end; consumed() then
// still tells how many bytes the answer's layout claimed, which some decoders report.
class ByteReader {
 public:
  ByteReader(const unsigned char* data, int length)
      : data_(data), length_(length > 0 ? length : 0) {}

  bool u8(uint8_t& out) {
    if (!fits(1)) return false;
    out = data_[pos_++];
    return true;
  }
  // The four wire bytes of a float, least significant first (as the record stores them).
  bool raw4(unsigned char out[4]) {
    if (!fits(4)) return false;
    std::memcpy(out, data_ + pos_, 4);
    pos_ += 4;
    return true;
  }
  bool f32(float& out) {
    unsigned char b[4];
    if (!raw4(b)) return false;
    const uint32_t u = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 |
                       uint32_t(b[3]) << 24;
    std::memcpy(&out, &u, 4);
    return true;
  }
  void skip(long n) {
    if (n > 0) pos_ += n;
    if (pos_ > length_) overrun_ = true;
  }

  long consumed() const { return pos_; }
  long remaining() const { return pos_ < length_ ? length_ - pos_ : 0; }
  bool overrun() const { return overrun_; }
  // Result convention of the decoders: the bytes consumed, or -1 when they exceed the length.
  int result() const { return pos_ > length_ ? -1 : static_cast<int>(pos_); }

 private:
  bool fits(long n) {
    if (pos_ + n <= length_) return true;
    overrun_ = true;
    return false;
  }

  const unsigned char* data_;
  long length_;
  long pos_ = 0;
  bool overrun_ = false;
};
