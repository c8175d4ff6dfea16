#pragma once

#include <cstdio>
#include <type_traits>

#include "acquisition/byte_reader.h"
#include "device/pmbuspower_419.h"

// DC distribution answers (group 0x42). One answer carries the blocks of all panels in a row;
// each decoder reads one panel's block, and the dispatcher finds the second block from the
// first decoder's result. Both panels share one layout.

namespace dc_wire {

// Analog block of one panel, m = n = p = 0 (11 bytes):
//   00 00 50 42 | 00 00 48 41 | 00 | 00 | 00
//   voltage     | current     | m  | n  | p
// A p list longer than the record holds ends the answer: the whole length is reported as
// consumed, so no second panel is looked for behind it.
template <class Panel>
int read_analog(const unsigned char* p, int len, Panel& panel, int32_t current_factor) {
  ByteReader r(p, len);
  if (!r.copy(panel.voltage) || !r.copy(panel.current)) return -1;
  panel.current = panel.current.get() * static_cast<float>(current_factor);
  // printf lines are not flushed on their own: std::cout shares standard output's buffer, and
  // the next std::endl line flushes both.
  std::printf("parse42_41 %f %f\n", static_cast<double>(panel.voltage.get()),
              static_cast<double>(panel.current.get()));
  if (!r.u8(panel.m_count)) return -1;
  r.copies(panel.m, panel.m_count, Panel::M_SIZE());
  if (!r.u8(panel.n_count)) return -1;
  r.copies(panel.n, panel.n_count, Panel::N_SIZE());
  if (!r.u8(panel.p_count)) return -1;
  if (panel.p_count > Panel::P_SIZE()) return r.length();
  r.values(panel.p, panel.p_count, Panel::P_SIZE(), kInvalidValue);
  return r.result();
}

// Alarm block of one panel, three load fuses (6 bytes):
//   00    | 03 | 00 00 00   | 00
//   alarm | m  | fuse states | p
// Unlike the analog lists, an alarm list longer than the record holds is cut, not skipped.
template <class Panel>
int read_alarm(const unsigned char* p, int len, Panel& panel) {
  ByteReader r(p, len);
  r.u8(panel.alarm);
  if (!r.u8(panel.alert_m_count)) return -1;
  r.bytes_cut(panel.alert_m, panel.alert_m_count, Panel::ALERT_M_SIZE());
  if (!r.u8(panel.alert_p_count)) return -1;
  r.bytes_cut(panel.alert_p, panel.alert_p_count, Panel::ALERT_P_SIZE());
  return r.result();
}

}  // namespace dc_wire

template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse42_41(const unsigned char* p, int len) {
  return dc_wire::read_analog(p, len, this->data_.dc, dc_i_adjust_);
}

template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse42_41_2(const unsigned char* p, int len) {
  return dc_wire::read_analog(p, len, this->data_.dc_2, dc_i_adjust_);
}

template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse42_44(const unsigned char* p, int len) {
  return dc_wire::read_alarm(p, len, this->data_.dc);
}

template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse42_44_2(const unsigned char* p, int len) {
  return dc_wire::read_alarm(p, len, this->data_.dc_2);
}
