#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "acquisition/le_value.h"

// The power-system data record, 587 bytes, published to the host's data store as a raw block.
// Its layout is a stored format: every field sits at a fixed offset, nothing is padded, and a list
// whose capacity is 0 occupies no bytes (the field after it lies at the list's offset).
// Capacities are exposed through static functions because the decoders ask whether a list fits.
//
// Each struct's visit() is the record's field list: every member in record order, named as in
// code, reserved bytes included, so tools walk the record without a list of their own (a test
// checks that the walk covers all 587 bytes in order). A visitor has
//   field(name, member)        one le_u32, le_f32 or uint8_t
//   list(name, items, count)   `count` of them, [0] to [count-1]
//   group(name, member)        a nested struct, visited in turn
//   groups(name, items, count) a list of nested structs
//   time(name, bytes)          the 7-byte time stamp
//   reserved(bytes, count)     bytes that carry nothing

template <uint8_t AirlockMax, uint8_t P4043Size>
struct tele_c_pmbuspower_ac {
  static unsigned AIRLOCK_MAX() { return AirlockMax; }
  static unsigned P40_43_SIZE() { return P4043Size; }

  le_f32 ac_a;
  le_f32 ac_b;
  le_f32 ac_c;
  uint8_t channel_count;
  uint8_t airlock_count;
  uint8_t airlock[AirlockMax];
  uint8_t p40_43_count;
  uint8_t p40_43[P4043Size];
  uint8_t ac_a_alarm;
  uint8_t ac_b_alarm;
  uint8_t ac_c_alarm;
  uint8_t reserved[7];

  template <class V>
  void visit(V& v) {
    v.field("ac_a", ac_a);
    v.field("ac_b", ac_b);
    v.field("ac_c", ac_c);
    v.field("channel_count", channel_count);
    v.field("airlock_count", airlock_count);
    v.list("airlock", airlock, AirlockMax);
    v.field("p40_43_count", p40_43_count);
    v.list("p40_43", p40_43, P4043Size);
    v.field("ac_a_alarm", ac_a_alarm);
    v.field("ac_b_alarm", ac_b_alarm);
    v.field("ac_c_alarm", ac_c_alarm);
    v.reserved(reserved, sizeof reserved);
  }
};

template <uint8_t P4041Size, uint8_t P4044Size>
struct tele_c_pmbuspower_ac_channel {
  static unsigned P40_41_SIZE() { return P4041Size; }
  static unsigned p40_44_SIZE() { return P4044Size; }

  le_f32 a;
  le_f32 b;
  le_f32 c;
  le_f32 f;
  uint8_t p40_41_count;
  le_f32 p40_41[P4041Size];
  uint8_t a_alarm;
  uint8_t b_alarm;
  uint8_t c_alarm;
  uint8_t f_alarm;
  uint8_t p40_44_count;
  uint8_t p40_44[P4044Size];

  template <class V>
  void visit(V& v) {
    v.field("a", a);
    v.field("b", b);
    v.field("c", c);
    v.field("f", f);
    v.field("p40_41_count", p40_41_count);
    v.list("p40_41", p40_41, P4041Size);
    v.field("a_alarm", a_alarm);
    v.field("b_alarm", b_alarm);
    v.field("c_alarm", c_alarm);
    v.field("f_alarm", f_alarm);
    v.field("p40_44_count", p40_44_count);
    v.list("p40_44", p40_44, P4044Size);
  }
};

template <uint8_t P4141Size, uint8_t P4143Size, uint8_t P4144Size>
struct tele_c_pmbuspower_rc_channel {
  static unsigned P41_41_SIZE() { return P4141Size; }
  static unsigned P41_43_SIZE() { return P4143Size; }
  static unsigned P41_44_SIZE() { return P4144Size; }

  le_f32 current;
  uint8_t p41_41_count;
  le_f32 p41_41[P4141Size];
  uint8_t status[3];
  uint8_t p41_43_count;
  uint8_t p41_43[P4143Size];
  uint8_t alarm;
  uint8_t p41_44_count;
  uint8_t p41_44[P4144Size];

  template <class V>
  void visit(V& v) {
    v.field("current", current);
    v.field("p41_41_count", p41_41_count);
    v.list("p41_41", p41_41, P4141Size);
    v.list("status", status, 3);
    v.field("p41_43_count", p41_43_count);
    v.list("p41_43", p41_43, P4143Size);
    v.field("alarm", alarm);
    v.field("p41_44_count", p41_44_count);
    v.list("p41_44", p41_44, P4144Size);
  }
};

template <uint8_t MSize, uint8_t NSize, uint8_t PSize, uint8_t AlertMSize, uint8_t AlertPSize>
struct tele_c_pmbuspower_dc {
  static unsigned M_SIZE() { return MSize; }
  static unsigned N_SIZE() { return NSize; }
  static unsigned P_SIZE() { return PSize; }
  static unsigned ALERT_M_SIZE() { return AlertMSize; }
  static unsigned ALERT_P_SIZE() { return AlertPSize; }

  uint8_t reserved0[4];
  le_f32 voltage;
  le_f32 current;
  uint8_t m_count;
  le_f32 m[MSize];
  uint8_t n_count;
  le_f32 n[NSize];
  uint8_t p_count;
  le_f32 p[PSize];
  uint8_t alarm;
  uint8_t alert_m_count;
  uint8_t alert_m[AlertMSize];
  uint8_t alert_p_count;
  uint8_t alert_p[AlertPSize];
  uint8_t reserved1[7];

  template <class V>
  void visit(V& v) {
    v.reserved(reserved0, sizeof reserved0);
    v.field("voltage", voltage);
    v.field("current", current);
    v.field("m_count", m_count);
    v.list("m", m, MSize);
    v.field("n_count", n_count);
    v.list("n", n, NSize);
    v.field("p_count", p_count);
    v.list("p", p, PSize);
    v.field("alarm", alarm);
    v.field("alert_m_count", alert_m_count);
    v.list("alert_m", alert_m, AlertMSize);
    v.field("alert_p_count", alert_p_count);
    v.list("alert_p", alert_p, AlertPSize);
    v.reserved(reserved1, sizeof reserved1);
  }
};

enum { AC_CHANNEL_MAX = 2, RC_CHANNEL_MAX = 40 };

// The invalid marker stored for an absent value, except the four per-line AC values (0.0).
constexpr float kInvalidValue = -0.1f;
// Bit for bit: -0.1 computed some other way is a value, not the marker.
inline bool is_invalid_marker(float f) {
  const float marker = kInvalidValue;
  return std::memcmp(&f, &marker, sizeof f) == 0;
}

struct korvantis_419_Data_t {
  using ac_t = tele_c_pmbuspower_ac<8, 0>;
  using ac_channel_t = tele_c_pmbuspower_ac_channel<0, 0>;
  using rc_channel_t = tele_c_pmbuspower_rc_channel<0, 0, 0>;
  using dc_t = tele_c_pmbuspower_dc<0, 0, 0, 0, 0>;

  le_u32 data_id;
  uint8_t reserved0[4];
  ac_t ac;
  ac_channel_t acChannel[AC_CHANNEL_MAX];
  le_f32 rc_voltage;
  uint8_t rc_channel_count;
  rc_channel_t rcChannel[RC_CHANNEL_MAX];
  dc_t dc;
  uint8_t update_time[7];
  dc_t dc_2;

  template <class V>
  void visit(V& v) {
    v.field("data_id", data_id);
    v.reserved(reserved0, sizeof reserved0);
    v.group("ac", ac);
    v.groups("acChannel", acChannel, AC_CHANNEL_MAX);
    v.field("rc_voltage", rc_voltage);
    v.field("rc_channel_count", rc_channel_count);
    v.groups("rcChannel", rcChannel, RC_CHANNEL_MAX);
    v.group("dc", dc);
    v.time("update_time", update_time);
    v.group("dc_2", dc_2);
  }
};

// The layout is checked where it is declared, so every build (host and target) proves it.
#define KLX_RECORD_AT(member, offset) \
  static_assert(offsetof(korvantis_419_Data_t, member) == (offset), #member " offset")
static_assert(sizeof(korvantis_419_Data_t) == 587, "record size");
static_assert(alignof(korvantis_419_Data_t) == 1, "record is byte-aligned");
static_assert(sizeof(korvantis_419_Data_t::ac_t) == 33, "AC group size");
static_assert(sizeof(korvantis_419_Data_t::ac_channel_t) == 22, "AC line size");
static_assert(sizeof(korvantis_419_Data_t::rc_channel_t) == 11, "module size");
static_assert(sizeof(korvantis_419_Data_t::dc_t) == 25, "DC panel size");
KLX_RECORD_AT(data_id, 0);
KLX_RECORD_AT(ac.ac_a, 8);
KLX_RECORD_AT(ac.ac_b, 12);
KLX_RECORD_AT(ac.ac_c, 16);
KLX_RECORD_AT(ac.channel_count, 20);
KLX_RECORD_AT(ac.airlock_count, 21);
KLX_RECORD_AT(ac.airlock, 22);
KLX_RECORD_AT(ac.p40_43_count, 30);
KLX_RECORD_AT(ac.ac_a_alarm, 31);
KLX_RECORD_AT(ac.ac_c_alarm, 33);
KLX_RECORD_AT(acChannel[0].a, 41);
KLX_RECORD_AT(acChannel[0].b, 45);
KLX_RECORD_AT(acChannel[0].c, 49);
KLX_RECORD_AT(acChannel[0].f, 53);
KLX_RECORD_AT(acChannel[0].p40_41_count, 57);
KLX_RECORD_AT(acChannel[0].a_alarm, 58);
KLX_RECORD_AT(acChannel[0].f_alarm, 61);
KLX_RECORD_AT(acChannel[0].p40_44_count, 62);
KLX_RECORD_AT(acChannel[1].a, 63);
KLX_RECORD_AT(acChannel[1].f, 75);
KLX_RECORD_AT(acChannel[1].p40_44_count, 84);
KLX_RECORD_AT(rc_voltage, 85);
KLX_RECORD_AT(rc_channel_count, 89);
KLX_RECORD_AT(rcChannel[0].current, 90);
KLX_RECORD_AT(rcChannel[0].status, 95);
KLX_RECORD_AT(rcChannel[0].alarm, 99);
KLX_RECORD_AT(rcChannel[39].current, 519);
KLX_RECORD_AT(rcChannel[39].p41_44_count, 529);
KLX_RECORD_AT(dc, 530);
KLX_RECORD_AT(dc.voltage, 534);
KLX_RECORD_AT(dc.current, 538);
KLX_RECORD_AT(dc.m_count, 542);
KLX_RECORD_AT(dc.n_count, 543);
KLX_RECORD_AT(dc.p_count, 544);
KLX_RECORD_AT(dc.alarm, 545);
KLX_RECORD_AT(dc.alert_m_count, 546);
KLX_RECORD_AT(dc.alert_p_count, 547);
KLX_RECORD_AT(update_time, 555);
KLX_RECORD_AT(dc_2, 562);
KLX_RECORD_AT(dc_2.voltage, 566);
KLX_RECORD_AT(dc_2.current, 570);
KLX_RECORD_AT(dc_2.alarm, 577);
KLX_RECORD_AT(dc_2.alert_p_count, 579);
KLX_RECORD_AT(dc_2.reserved1[6], 586);
#undef KLX_RECORD_AT
