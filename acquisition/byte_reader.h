#pragma once

#include <cstdint>
#include <cstring>
#include <iterator>
#include <type_traits>

#include "acquisition/le_value.h"

// Walks the info bytes of an answer without ever touching a byte at or beyond the length it was
// given, whatever the counts inside the answer claim.
//
// Every read claims its width. A read whose bytes would pass the end fails: it returns false,
// leaves its output untouched and the reader stays failed (every later read fails too). skip()
// only moves the position, so it may pass the end. consumed() tells how many bytes the answer's
// layout has claimed so far, which is more than the length once the reader has failed.
class ByteReader {
 public:
  ByteReader(const unsigned char* data, int length)
      : data_(data), length_(length > 0 ? length : 0) {}

  bool u8(uint8_t& out) {
    if (!claim(1)) return false;
    out = data_[pos_ - 1];
    return true;
  }
  // The four wire bytes of a float, least significant first (as the record stores them).
  bool raw4(unsigned char out[4]) {
    if (!claim(4)) return false;
    std::memcpy(out, data_ + pos_ - 4, 4);
    return true;
  }
  // A float copied as it is, with no absent-value test.
  bool copy(le_f32& out) {
    unsigned char b[4];
    if (!raw4(b)) return false;
    out.set_raw(b);
    return true;
  }
  // A float that may be absent on the wire (see absent()); an absent one is stored as `absent_as`.
  bool value(le_f32& out, float absent_as) {
    unsigned char b[4];
    if (!raw4(b)) return false;
    store(out, b, absent_as);
    return true;
  }

  // Lists of extra items behind a count: stored when the count fits the record's capacity,
  // stepped over otherwise. The count itself is the caller's to store.
  bool values(le_f32* out, unsigned count, unsigned capacity, float absent_as) {
    if (count > capacity) return skip_items(count, 4);
    for (unsigned i = 0; i < count; ++i)
      if (!value(out[i], absent_as)) return false;
    return true;
  }
  bool copies(le_f32* out, unsigned count, unsigned capacity) {
    if (count > capacity) return skip_items(count, 4);
    for (unsigned i = 0; i < count; ++i)
      if (!copy(out[i])) return false;
    return true;
  }
  bool bytes(uint8_t* out, unsigned count, unsigned capacity) {
    if (count > capacity) return skip_items(count, 1);
    for (unsigned i = 0; i < count; ++i)
      if (!u8(out[i])) return false;
    return true;
  }
  // The first `capacity` bytes of the list kept, the rest stepped over.
  bool bytes_cut(uint8_t* out, unsigned count, unsigned capacity) {
    const unsigned kept = count < capacity ? count : capacity;
    for (unsigned i = 0; i < kept; ++i)
      if (!u8(out[i])) return false;
    return skip_items(count - kept, 1);
  }

  // A count byte and that many items of `width` bytes, stepped over.
  bool skip_block(int width) {
    uint8_t count = 0;
    return u8(count) && skip_items(count, width);
  }
  bool skip_items(unsigned count, int width) {
    skip(static_cast<int64_t>(count) * width);
    return ok();
  }
  void skip(int64_t n) {
    if (n <= 0) return;
    pos_ += n < kSkipMax ? n : kSkipMax;
    if (pos_ > kPosMax) pos_ = kPosMax;
  }

  bool ok() const { return pos_ <= length_; }
  int length() const { return static_cast<int>(length_); }
  int consumed() const { return pos_ < kSkipMax ? static_cast<int>(pos_) : INT32_MAX; }
  // The decoders' usual result: the bytes consumed, or -1 when they exceed the length.
  int result() const { return ok() ? static_cast<int>(pos_) : -1; }

  // A float is absent when its first byte is not 0 and its four bytes are equal. Four zero bytes
  // are a value (0.0), not an absent one.
  static bool absent(const unsigned char b[4]) {
    return b[0] != 0 && b[1] == b[0] && b[2] == b[0] && b[3] == b[0];
  }
  static void store(le_f32& out, const unsigned char b[4], float absent_as) {
    if (absent(b))
      out = absent_as;
    else
      out.set_raw(b);
  }

 private:
  // Bounds on one step and on the position, so the position cannot overflow whatever an
  // option or a count asks to skip.
  static constexpr int64_t kSkipMax = INT32_MAX;
  static constexpr int64_t kPosMax = int64_t(1) << 40;

  bool claim(int64_t n) {
    if (!ok() || n > length_ - pos_) {
      skip(n);
      return false;
    }
    pos_ += n;
    return true;
  }

  const unsigned char* data_;
  int64_t length_;
  int64_t pos_ = 0;
};

// The blocks of a list on the wire (AC lines, rectifier modules): `count` of them, each read by
// `read(entry)` into the record's entry, or, beyond the record's entries, into a scratch entry
// that is dropped, so the rest of the answer keeps its position. Stops when `read` fails or the
// reader has run past the end; false then.
template <class List, class Read>
bool read_blocks(ByteReader& r, List& list, unsigned count, Read read) {
  using Entry = std::remove_reference_t<decltype(list[0])>;
  for (unsigned i = 0; i < count && r.ok(); ++i) {
    Entry dropped{};
    if (!read(i < std::size(list) ? list[i] : dropped)) return false;
  }
  return r.ok();
}
