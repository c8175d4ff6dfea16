#pragma once

#include <cstdint>
#include <cstdio>

#include "acquisition/byte_reader.h"
#include "device/pmbuspower_419.h"

// Rectifier answers (group 0x41). Each decoder gets the whole info, data-flag byte included
// (the dispatcher has read it), and counts it in its result.

namespace rc_wire {

// Extra analog values of a module: four equal bytes, zeros included, mean no value.
inline bool read_module_extras(ByteReader& r, le_f32* out, unsigned count, unsigned capacity) {
  if (count > capacity) return r.skip_items(count, 4);
  for (unsigned i = 0; i < count; ++i) {
    unsigned char b[4];
    if (!r.raw4(b)) return false;
    const bool all_equal = b[1] == b[0] && b[2] == b[0] && b[3] == b[0];
    if (all_equal)
      out[i] = 0.0f;
    else
      out[i].set_raw(b);
  }
  return true;
}

// The extra bytes that end a module's block in the state and alarm answers.
struct ExtraBytes {
  uint8_t& count;
  uint8_t* bytes;
  unsigned capacity;
};

// The state and alarm answers: after the data-flag byte and a module count, one block per module
// that the last analog answer counted (not this answer's count): the module's own bytes, read by
// `own(r, module)`, which names the module's extra bytes; the tower block when there is one; then
// the count of extra bytes and the bytes.
template <class Modules, class Own>
int read_module_bytes(const unsigned char* p, int len, Modules& modules, unsigned count,
                      bool has_tower, Own own) {
  ByteReader r(p, len);
  r.skip(2);  // data-flag byte, module count
  read_blocks(r, modules, count, [&](auto& m) {
    const ExtraBytes extra = own(r, m);
    if (has_tower) r.skip_block(1);
    return r.u8(extra.count) && r.bytes(extra.bytes, extra.count, extra.capacity);
  });
  return r.result();
}

}  // namespace rc_wire

// Analog values, two modules, no extras (16 bytes):
//   00 | 00 00 58 42 | 02 | 00 00 20 41 | 00 | 00 00 20 41 | 00
//   flag | rc_voltage | M  | current 1   | P  | current 2   | P
// Each module block is followed by "skip_41_41" bytes of padding.
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse41_41(const unsigned char* p, int len) {
  auto& d = this->data_;
  ByteReader r(p, len);
  r.skip(1);  // data-flag byte
  if (!r.copy(d.rc_voltage) || !r.u8(d.rc_channel_count)) return -1;
  // printf lines are not flushed on their own: std::cout shares standard output's buffer, and
  // the next std::endl line flushes both.
  std::printf("parse 41_41 channel is %d\n", static_cast<int>(d.rc_channel_count));
  const bool read = read_blocks(r, d.rcChannel, d.rc_channel_count, [&](auto& m) {
    if (!r.copy(m.current)) return false;
    if (has_tower_ && !r.skip_block(4)) return false;
    if (!r.u8(m.p41_41_count)) return false;
    if (!rc_wire::read_module_extras(r, m.p41_41, m.p41_41_count, m.P41_41_SIZE())) return false;
    r.skip(skip_41_41_);  // a negative setting skips nothing
    return true;
  });
  return read ? r.result() : -1;
}

// Module states after an analog answer with two modules (10 bytes):
//   00 | 02 | 00 01 00 | 00 | 00 00 00 | 00
//   flag | count | status 1 | P | status 2 | P
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse41_43(const unsigned char* p, int len) {
  auto& d = this->data_;
  return rc_wire::read_module_bytes(
      p, len, d.rcChannel, d.rc_channel_count, has_tower_, [](ByteReader& r, auto& m) {
        r.u8(m.status[0]);
        r.u8(m.status[1]);
        r.u8(m.status[2]);
        return rc_wire::ExtraBytes{m.p41_43_count, m.p41_43, m.P41_43_SIZE()};
      });
}

// Module alarms after an analog answer with two modules (6 bytes):
//   00 | 02 | 00 | 00 | 00 | 00
//   flag | count | alarm 1 | P | alarm 2 | P
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse41_44(const unsigned char* p, int len) {
  auto& d = this->data_;
  return rc_wire::read_module_bytes(
      p, len, d.rcChannel, d.rc_channel_count, has_tower_, [](ByteReader& r, auto& m) {
        r.u8(m.alarm);
        return rc_wire::ExtraBytes{m.p41_44_count, m.p41_44, m.P41_44_SIZE()};
      });
}
