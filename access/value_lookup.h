#pragma once

#include <iostream>
#include <stdexcept>
#include <string>

#include "device/clock.h"
#include "device/pmbuspower_419.h"

namespace value_lookup {

// Data older than this many whole seconds is refused; exactly this old is still fresh.
constexpr long kMaxAgeSeconds = 60;
// A phase voltage of 150 V or more counts as a live phase.
constexpr double kLivePhaseVolts = 150.0;

// True when none of the three phases of an AC input is live (the input is lost). The fields are
// read by value: the record is packed and they lie at odd offsets.
template <class AcChannel>
bool line_lost(const AcChannel& line) {
  return line.a.get() < kLivePhaseVolts && line.b.get() < kLivePhaseVolts &&
         line.c.get() < kLivePhaseVolts;
}

inline float flag(bool on) { return on ? 1.0f : 0.0f; }

}  // namespace value_lookup

// One named value derived from the record. Freshness is checked before the name, so while the
// data is stale every name is refused for staleness.
template <class Data, int SpId>
float pmbuspower_419<Data, SpId>::Get_Value(unsigned int, const std::string& name) const {
  std::cout << "in pmbuspower_419 Get_Value" << std::endl;
  if (this->data_valid_ != 1) throw std::out_of_range("数据未就绪");
  // A clock set back behind the last round gives a negative age, which counts as fresh.
  if (device_clock::seconds_since(this->last_round_time_) > value_lookup::kMaxAgeSeconds)
    throw std::out_of_range("数据已超时");

  const auto& line1 = this->data_.acChannel[0];
  const auto& line2 = this->data_.acChannel[1];
  if (name == "out_v") return this->data_.dc.voltage.get();
  if (name == "ac")
    return value_lookup::flag(value_lookup::line_lost(line1) && value_lookup::line_lost(line2));
  if (name == "ac1") return value_lookup::flag(value_lookup::line_lost(line1));
  if (name == "ac2") return value_lookup::flag(value_lookup::line_lost(line2));
  throw std::out_of_range("不支持变量");
}
