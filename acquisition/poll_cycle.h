#pragma once

#include <cstdio>
#include <cstring>
#include <iostream>

#include "device/clock.h"
#include "device/pmbuspower_419.h"

// The polling round: one command outstanding at a time, each answer decoded into the record
// and answered with the next command, chosen from the answers' data-flag bytes.

namespace poll {

// The answer in rx_buf_: bytes 4 and 5 hold LENID (in characters, little-endian), the info
// bytes start at byte 6. Only the info length is trusted, so every byte the dispatcher reads
// itself goes through byte(), and a block handed to a decoder never starts past the end.
struct Answer {
  const unsigned char* info = nullptr;
  int length = 0;

  static Answer from(const unsigned char* rx) {
    Answer a;
    if (!rx) return a;
    a.length = (rx[4] | rx[5] << 8) >> 1;
    a.info = rx + 6;
    return a;
  }
  bool has(int i) const { return i < length; }
  // A byte the answer lacks reads as 0, so a missing flag byte asks for nothing.
  uint8_t byte(int i) const { return has(i) ? info[i] : 0; }
  const unsigned char* from(int i) const { return info + (has(i) ? i : length); }
  int after(int i) const { return has(i) ? length - i : 0; }
};

// Whole seconds since the last completed round. A clock set back behind it gives a negative
// value; a round time the host never set counts as long ago.
inline long seconds_since_round(const boost::posix_time::ptime& last_round) {
  if (last_round.is_special()) return 1L << 30;
  return device_clock::seconds_since(last_round);
}

constexpr uint8_t kAlarmsChanged = 0x01;
constexpr uint8_t kSwitchesChanged = 0x10;

template <class Dev>
void send_ac(Dev& d, uint8_t cid2) {
  d.write_pmbus_cmd(0x40, cid2, &d.cmd_arg_, 1);
}

template <class Dev>
void send_dc(Dev& d, uint8_t cid2) {
  const unsigned char all_panels = 0xFF;
  if (d.no_42_arg_)
    d.write_pmbus_cmd(0x42, cid2);
  else
    d.write_pmbus_cmd(0x42, cid2, &all_panels, 1);
}

template <class Dev>
int ask(Dev& d, int state, uint8_t cid1, uint8_t cid2) {
  d.cmd_state_ = state;
  if (cid1 == 0x40)
    send_ac(d, cid2);
  else if (cid1 == 0x42)
    send_dc(d, cid2);
  else
    d.write_pmbus_cmd(cid1, cid2);
  return 1;
}

template <class Dev>
int end_round(Dev& d) {
  d.RoundDone();
  d.cmd_state_ = PMBUSPOWER_IDLE;
  d.Reset();
  return 0;
}

template <class Dev>
int after_rectifiers(Dev& d) {
  return d.has_dc_ ? ask(d, PMBUSPOWER_42_41, 0x42, 0x41) : end_round(d);
}

// The first DC analog answer tells the panel layout: a bus voltage right after the data-flag
// byte means there is no panel-count byte. An answer too short to tell leaves it undecided.
template <class Dev>
void decide_dc_layout(Dev& d, const Answer& a) {
  if (!a.has(4)) return;
  const uint32_t bits = uint32_t(a.byte(1)) | uint32_t(a.byte(2)) << 8 | uint32_t(a.byte(3)) << 16 |
                        uint32_t(a.byte(4)) << 24;
  float volts;
  std::memcpy(&volts, &bits, 4);
  std::cout << "test dc_v:" << volts << std::endl;
  d.no_dc_number_ = volts > 40.0f && volts < 60.0f ? 1 : 2;
}

// The first panel's block follows the panel-count byte; the second follows the first, and is
// looked for only when the first decoded and the count announces it.
template <class Dev, class Decoder>
void decode_panels(Dev& d, const Answer& a, Decoder first, Decoder second) {
  if (d.no_dc_number_ == 1) {
    (d.*first)(a.from(1), a.after(1));
    return;
  }
  const int used = (d.*first)(a.from(2), a.after(2));
  if (used >= 0 && d.dc_number_ >= 2) (d.*second)(a.from(2 + used), a.after(2 + used));
}

template <class Dev>
int on_ac_analog(Dev& d, const Answer& a, bool valid) {
  const uint8_t flag = a.byte(0);
  // A malformed answer is dropped and the round waits for the next poll tick to start again.
  if (d.parse40_41(a.from(1), a.after(1)) == -1) return 1;
  if (!valid || (flag & kSwitchesChanged)) return ask(d, PMBUSPOWER_40_43, 0x40, 0x43);
  if (flag & kAlarmsChanged) return ask(d, PMBUSPOWER_40_44, 0x40, 0x44);
  return ask(d, PMBUSPOWER_41_41, 0x41, 0x41);
}

template <class Dev>
int on_ac_switches(Dev& d, const Answer& a, bool valid) {
  const uint8_t flag = a.byte(0);
  d.parse40_43(a.from(1), a.after(1));
  if (!valid || (flag & kAlarmsChanged)) return ask(d, PMBUSPOWER_40_44, 0x40, 0x44);
  return ask(d, PMBUSPOWER_41_41, 0x41, 0x41);
}

template <class Dev>
int on_rc_analog(Dev& d, const Answer& a) {
  d.rc_data_flag_ = a.byte(0);
  const int used = d.parse41_41(a.from(0), a.after(0));
  // printf lines are not flushed on their own: std::cout shares standard output's buffer, and
  // the next std::endl line flushes both.
  std::printf("41_43 %d vs %d\n", a.length, used);
  // The module states are read in every round.
  return ask(d, PMBUSPOWER_41_43, 0x41, 0x43);
}

template <class Dev>
int on_rc_states(Dev& d, const Answer& a, bool valid) {
  d.parse41_43(a.from(0), a.after(0));
  if (!valid || (d.rc_data_flag_ & kAlarmsChanged)) return ask(d, PMBUSPOWER_41_44, 0x41, 0x44);
  return after_rectifiers(d);
}

template <class Dev>
int on_dc_analog(Dev& d, const Answer& a, bool valid) {
  const uint8_t flag = a.byte(0);
  if (a.has(1)) d.dc_number_ = a.byte(1);
  std::cout << "pmbuspower_419 PMBUSPOWER_42_41 dc_number:" << d.dc_number_ << std::endl;
  if (d.no_dc_number_ == -1) decide_dc_layout(d, a);
  std::cout << "no dc number is " << d.no_dc_number_ << std::endl;
  decode_panels(d, a, &Dev::parse42_41, &Dev::parse42_41_2);
  if (!valid || (flag & (kSwitchesChanged | kAlarmsChanged)))
    return ask(d, PMBUSPOWER_42_44, 0x42, 0x44);
  return end_round(d);
}

template <class Dev>
int on_dc_alarms(Dev& d, const Answer& a) {
  if (d.no_dc_number_ != 1) {
    if (a.has(1)) d.dc_number_ = a.byte(1);
    std::cout << "pmbuspower_419 PMBUSPOWER_42_44 dc_number:" << d.dc_number_ << std::endl;
  }
  decode_panels(d, a, &Dev::parse42_44, &Dev::parse42_44_2);
  return end_round(d);
}

}  // namespace poll

template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::RefreshStatus() {
  if (!this->KLXSPDevice::RefreshStatus()) return 0;
  // A clock set back behind the last round does not hold polling up until it catches up.
  const long elapsed = poll::seconds_since_round(this->last_round_time_);
  if (elapsed >= 0 && elapsed < 2) {
    this->request_code_ = 10;
    return 0;
  }
  if (!has_ac_) return poll::ask(*this, PMBUSPOWER_41_41, 0x41, 0x41);
  this->cmd_state_ = PMBUSPOWER_40_41;
  if (no_40_arg_)
    this->write_pmbus_cmd(0x40, 0x41);
  else
    poll::send_ac(*this, 0x41);
  return 1;
}

template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::process_payload() {
  const poll::Answer a = poll::Answer::from(this->rx_buf_);
  const bool valid = this->data_valid_ == 1;
  switch (this->cmd_state_) {
    case PMBUSPOWER_40_41:
      return poll::on_ac_analog(*this, a, valid);
    case PMBUSPOWER_40_43:
      return poll::on_ac_switches(*this, a, valid);
    case PMBUSPOWER_40_44:
      parse40_44(a.from(1), a.after(1));
      return poll::ask(*this, PMBUSPOWER_41_41, 0x41, 0x41);
    case PMBUSPOWER_41_41:
      return poll::on_rc_analog(*this, a);
    case PMBUSPOWER_41_43:
      return poll::on_rc_states(*this, a, valid);
    case PMBUSPOWER_41_44:
      parse41_44(a.from(0), a.after(0));
      return poll::after_rectifiers(*this);
    case PMBUSPOWER_42_41:
      return poll::on_dc_analog(*this, a, valid);
    case PMBUSPOWER_42_44:
      return poll::on_dc_alarms(*this, a);
    default:  // not a poll state: the answer to a control command
      ctrl_result_ = 1;
      return 0;
  }
}

// The communication-state alarm: raised once 120 seconds pass without a completed round,
// stated cleared otherwise, and handed over in a batch of its own. Poll state is left alone.
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::Reset() {
  std::cout << "pmbuspower_419 data_id:" << this->data_id_ << " reset called" << std::endl;
  long elapsed = poll::seconds_since_round(this->last_round_time_);
  // A clock set back behind the last round would keep it fresh for as long as the step: the
  // count of silence restarts from the moment the step is seen.
  if (elapsed < 0) {
    this->last_round_time_ = device_clock::local_now();
    elapsed = 0;
  }
  // Written once: they never change. The host's klx::kCommAlarmId names the same alarm; the
  // plug-in keeps its own, as it includes nothing of the host's own runtime.
  static const std::string id = "120600180010";
  static const std::string name = "设备智能口通信状态告警";
  static const std::string text = "通信异常";
  const int level = this->alarm_levels_[id];
  if (level != 0) {
    const bool lost = elapsed >= 120;
    std::cout << "data_id:" << this->data_id_
              << (lost ? " reset from refreshstatus" : " reset from rounddone") << std::endl;
    this->CheckThresholdBool(level, id, id, name, text, lost, 1);
  }
  if (!this->rules_.empty()) {
    this->DoBatchCheckThreshold(this->rules_);
    this->rules_.clear();
  }
  return 1;
}
