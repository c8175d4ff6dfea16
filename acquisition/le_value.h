#pragma once

#include <cstdint>
#include <cstring>

// A little-endian number kept as raw bytes. The record is handed to the host as a byte block
// and its fields lie at odd offsets, so fields are read and written by value through this type:
// no reference to a misaligned float is ever formed (the target CPU faults on those).
template <class T>
struct le_value {
  static_assert(sizeof(T) == 4, "record fields are 4-byte values");
  unsigned char bytes[4];

  T get() const {
    const uint32_t u = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
                       uint32_t(bytes[3]) << 24;
    T v;
    std::memcpy(&v, &u, 4);
    return v;
  }
  void set(T v) {
    uint32_t u;
    std::memcpy(&u, &v, 4);
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(u >> (8 * i));
  }
  operator T() const { return get(); }
  le_value& operator=(T v) {
    set(v);
    return *this;
  }
  // Copies four wire bytes unchanged (the wire's float order is the record's).
  void set_raw(const unsigned char* src) { std::memcpy(bytes, src, 4); }
};

using le_f32 = le_value<float>;
using le_u32 = le_value<uint32_t>;
