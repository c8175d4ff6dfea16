#pragma once

#include <cstring>
#include <iostream>

#include "device/clock.h"
#include "device/uni_data_device.h"
#include "klx/ttime.h"

// End of a round: stamp and publish the record, evaluate the communication alarm, hand over the
// round's rules in one batch, keep the record as history. The rule list is empty afterwards.
template <class Data, class Protocol, int SpId>
void UniDataDevice<Data, Protocol, SpId>::RoundDone() {
  this->data_valid_ = 1;
  this->last_round_time_ = device_clock::local_now();
  const ttime_t stamp = get_ttime(this->last_round_time_);
  static_assert(sizeof(data_.update_time) == std::tuple_size<ttime_t>::value, "time stamp");
  std::memcpy(data_.update_time, stamp.data(), stamp.size());

  const auto* record = reinterpret_cast<const unsigned char*>(&data_);
  this->SendSP(SpId, record, sizeof(Data), false);
  this->Reset();
  this->round_flag_ = 1;
  this->batch_result_ = false;
  this->RunCheckThreshold();
  std::cout << "rvSize is " << static_cast<int>(this->rules_.size()) << std::endl;
  const bool evaluated = this->DoBatchCheckThreshold(this->rules_);
  this->batch_result_ = evaluated || this->batch_result_;
  this->SaveDeviceHistory(record, sizeof(Data));
  this->rules_.clear();
}

// A cached record is taken only whole: any other length leaves the record as it was. A restored
// record goes through the end of a round at once, so it is published with a fresh time stamp.
template <class Data, class Protocol, int SpId>
bool UniDataDevice<Data, Protocol, SpId>::LoadFromCache(const unsigned char* bytes, int length) {
  if (!bytes || length != static_cast<int>(sizeof(Data))) return false;
  std::memcpy(static_cast<void*>(&data_), bytes, sizeof(Data));
  this->data_valid_ = 1;
  this->RoundDone();
  return true;
}
