#pragma once

#include <iostream>

#include "config/setting_value.h"
#include "device/uni_data_device.h"

// Generic layer of the settings: the alarm-evaluation mode, the threshold settings in mode 3,
// then the host's own settings layer, whose result is returned.
template <class Data, class Protocol, int SpId>
int UniDataDevice<Data, Protocol, SpId>::InitSetting(const Json::Value& settings) {
  stamp_data_id();
  const Json::Value* app = settings::app_setting(settings);
  if (app && settings::present((*app)["b_mode"])) {
    settings::read_int(*app, "b_mode", b_mode_);
    std::cout << "InitSetting " << this->DataId() << " b_mode_:" << b_mode_ << std::endl;
  }
  if (b_mode_ == 3) read_threshold_settings(settings);
  return Protocol::InitSetting(settings);
}

// The "thresholdSetting" walk of mode 3. Not built yet.
template <class Data, class Protocol, int SpId>
void UniDataDevice<Data, Protocol, SpId>::read_threshold_settings(const Json::Value&) {}
