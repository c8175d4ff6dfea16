#pragma once

#include <cstdio>
#include <iostream>
#include <type_traits>

#include "acquisition/byte_reader.h"
#include "device/pmbuspower_419.h"

// AC distribution answers (group 0x40). Each decoder gets the info bytes after the data-flag
// byte, which the dispatcher reads itself.

namespace ac_wire {

// One line block of the analog answer. Two diagnostic lines show the raw and the stored phase A
// voltage, because a wrong byte order is seen there first.
template <class Line>
bool read_analog_line(ByteReader& r, Line& line, bool has_tower) {
  unsigned char a[4];
  if (!r.raw4(a)) return false;
  ByteReader::store(line.a, a, 0.0f);
  // printf lines are not flushed on their own: std::cout shares standard output's buffer, and
  // the next std::endl line flushes both.
  std::printf("a %x %x %x %x\n", a[0], a[1], a[2], a[3]);
  std::cout << "parse40_41 acChannel.a is " << line.a.get() << std::endl;
  if (!r.value(line.b, 0.0f) || !r.value(line.c, 0.0f) || !r.value(line.f, 0.0f)) return false;
  if (has_tower && !r.skip_block(4)) return false;
  if (!r.u8(line.p40_41_count)) return false;
  const unsigned extra = line.p40_41_count;
  if (extra > Line::P40_41_SIZE())
    std::cout << "acChannel.p40_41_count " << static_cast<char>(extra) << std::endl;
  return r.values(line.p40_41, extra, Line::P40_41_SIZE(), kInvalidValue);
}

// One line block of the alarm answer.
template <class Line>
bool read_alarm_line(ByteReader& r, Line& line, bool has_tower) {
  if (!r.u8(line.a_alarm) || !r.u8(line.b_alarm) || !r.u8(line.c_alarm) || !r.u8(line.f_alarm))
    return false;
  if (!r.skip_block(1)) return false;  // per-phase state bytes, not kept
  if (has_tower && !r.skip_block(1)) return false;
  if (!r.u8(line.p40_44_count)) return false;
  return r.bytes(line.p40_44, line.p40_44_count, Line::p40_44_SIZE());
}

}  // namespace ac_wire

// Analog values, one line, "has_tower" off (30 bytes):
//   01 | 00 00 5C 43  00 00 5C 43  00 00 5C 43  00 00 48 42 | 00 | 00 00 20 41 (x3)
//   N  | a = 220.0    b            c            f = 50.0    | P  | ac_a ac_b ac_c = 10.0
// Lines beyond the record's two are decoded to keep the position and then dropped; the count
// is stored as received.
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse40_41(const unsigned char* p, int len) {
  auto& d = this->data_;
  ByteReader r(p, len);
  if (!r.u8(d.ac.channel_count)) return -1;
  std::cout << "parse40_41 channel_count is " << static_cast<char>(d.ac.channel_count) << std::endl;
  if (!read_blocks(r, d.acChannel, d.ac.channel_count,
                   [&](auto& line) { return ac_wire::read_analog_line(r, line, has_tower_); }))
    return -1;
  r.value(d.ac.ac_a, kInvalidValue);
  r.value(d.ac.ac_b, kInvalidValue);
  r.value(d.ac.ac_c, kInvalidValue);
  return r.result();
}

// Switch states, two switches, no extras (4 bytes):  02 | 00 01 | 00
//                                                     S  | states | P
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse40_43(const unsigned char* p, int len) {
  auto& ac = this->data_.ac;
  using Ac = std::remove_reference_t<decltype(ac)>;
  ByteReader r(p, len);
  if (!r.u8(ac.airlock_count)) return -1;
  const unsigned switches = ac.airlock_count;
  if (switches > Ac::AIRLOCK_MAX()) return -1;
  if (!r.bytes(ac.airlock, switches, Ac::AIRLOCK_MAX())) return -1;
  if (has_tower_ && !r.skip_block(1)) return -1;
  if (!r.u8(ac.p40_43_count)) return -1;
  const unsigned extra = ac.p40_43_count;
  if (extra > Ac::P40_43_SIZE()) {
    // Stepped over without a length check: the dispatcher does not act on this result.
    r.skip_items(extra, 1);
    return r.consumed();
  }
  r.bytes(ac.p40_43, extra, Ac::P40_43_SIZE());
  return r.result();
}

// Alarm states (16 bytes): always two line blocks, whatever the line count says.
//   01 | 00 00 00 00 | 00 | 00 | 00 00 00 00 | 00 | 00 | 00 00 00
//   N  | line 0 a b c f, K, P  | line 1 a b c f, K, P  | ac_a_alarm ac_b_alarm ac_c_alarm
// Never -1: an answer shorter than its layout gets the overflow line and a result above the
// length.
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse40_44(const unsigned char* p, int len) {
  auto& d = this->data_;
  ByteReader r(p, len);
  uint8_t lines = 0;
  if (r.u8(lines)) {
    std::cout << "channel is " << static_cast<int>(lines) << std::endl;
    ac_wire::read_alarm_line(r, d.acChannel[0], has_tower_);
    ac_wire::read_alarm_line(r, d.acChannel[1], has_tower_);
    r.u8(d.ac.ac_a_alarm);
    r.u8(d.ac.ac_b_alarm);
    r.u8(d.ac.ac_c_alarm);
  }
  if (!r.ok()) std::cout << "PMBusPowerAC:ProcotolError read 40_44 read overflow" << std::endl;
  return r.consumed();
}
