#pragma once

#include <cstdio>
#include <iterator>
#include <type_traits>

#include "acquisition/byte_reader.h"
#include "device/diag_text.h"
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

// The module entry a block is stored in; blocks beyond the record's modules are decoded into a
// scratch entry and dropped, so the rest of the answer keeps its position.
template <class Modules, class Module>
Module& module_at(Modules& modules, unsigned i, Module& dropped) {
  return i < std::size(modules) ? modules[i] : dropped;
}

}  // namespace rc_wire

// Analog values, two modules, no extras (16 bytes):
//   00 | 00 00 58 42 | 02 | 00 00 20 41 | 00 | 00 00 20 41 | 00
//   flag | rc_voltage | M  | current 1   | P  | current 2   | P
// Each module block is followed by "skip_41_41" bytes of padding.
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse41_41(const unsigned char* p, int len) {
  auto& d = this->data_;
  using Module = std::remove_reference_t<decltype(d.rcChannel[0])>;
  ByteReader r(p, len);
  r.skip(1);  // data-flag byte
  if (!r.copy(d.rc_voltage) || !r.u8(d.rc_channel_count)) return -1;
  // printf lines are not flushed on their own: std::cout shares standard output's buffer, and
  // the next std::endl line flushes both.
  (diag::Line() << "parse 41_41 channel is " << static_cast<int>(d.rc_channel_count) << '\n')
      .write();
  const unsigned modules = d.rc_channel_count;
  for (unsigned i = 0; i < modules; ++i) {
    Module dropped{};
    Module& m = rc_wire::module_at(d.rcChannel, i, dropped);
    if (!r.copy(m.current)) return -1;
    if (has_tower_ && !r.skip_block(4)) return -1;
    if (!r.u8(m.p41_41_count)) return -1;
    if (!rc_wire::read_module_extras(r, m.p41_41, m.p41_41_count, Module::P41_41_SIZE())) return -1;
    r.skip(skip_41_41_);  // a negative setting skips nothing
  }
  return r.result();
}

// Module states after an analog answer with two modules (10 bytes):
//   00 | 02 | 00 01 00 | 00 | 00 00 00 | 00
//   flag | count | status 1 | P | status 2 | P
// The blocks follow the module count of the last analog answer, not this answer's count.
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse41_43(const unsigned char* p, int len) {
  auto& d = this->data_;
  using Module = std::remove_reference_t<decltype(d.rcChannel[0])>;
  ByteReader r(p, len);
  r.skip(2);  // data-flag byte, module count
  const unsigned modules = d.rc_channel_count;
  for (unsigned i = 0; i < modules && r.ok(); ++i) {
    Module dropped{};
    Module& m = rc_wire::module_at(d.rcChannel, i, dropped);
    r.u8(m.status[0]);
    r.u8(m.status[1]);
    r.u8(m.status[2]);
    if (has_tower_) r.skip_block(1);
    if (!r.u8(m.p41_43_count)) return -1;
    r.bytes(m.p41_43, m.p41_43_count, Module::P41_43_SIZE());
  }
  return r.result();
}

// Module alarms after an analog answer with two modules (6 bytes):
//   00 | 02 | 00 | 00 | 00 | 00
//   flag | count | alarm 1 | P | alarm 2 | P
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse41_44(const unsigned char* p, int len) {
  auto& d = this->data_;
  using Module = std::remove_reference_t<decltype(d.rcChannel[0])>;
  ByteReader r(p, len);
  r.skip(2);  // data-flag byte, module count
  const unsigned modules = d.rc_channel_count;
  for (unsigned i = 0; i < modules && r.ok(); ++i) {
    Module dropped{};
    Module& m = rc_wire::module_at(d.rcChannel, i, dropped);
    r.u8(m.alarm);
    if (has_tower_) r.skip_block(1);
    if (!r.u8(m.p41_44_count)) return -1;
    r.bytes(m.p41_44, m.p41_44_count, Module::P41_44_SIZE());
  }
  return r.result();
}
