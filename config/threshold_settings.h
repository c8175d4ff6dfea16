#pragma once

#include <iostream>
#include <string>

#include "config/option_names.h"
#include "config/setting_value.h"
#include "device/uni_data_device.h"

// Generic layer of the settings: the alarm-evaluation mode, the threshold settings in mode 3,
// then the host's own settings layer, whose result is returned.
template <class Data, class Protocol, int SpId>
int UniDataDevice<Data, Protocol, SpId>::InitSetting(const Json::Value& settings) {
  stamp_data_id();
  const Json::Value* app = settings::app_setting(settings);
  if (app && settings::present((*app)[settings::option::kBMode])) {
    settings::read_int(*app, settings::option::kBMode, b_mode_);
    std::cout << "InitSetting " << this->DataId() << " b_mode_:" << b_mode_ << std::endl;
  }
  if (b_mode_ == 3) read_threshold_settings(settings);
  return Protocol::InitSetting(settings);
}

namespace settings {

// Appends the text of `field` of `entry` and a ";" to `text`. A missing field leaves its slot
// empty and is reported with the data identifier.
inline void append_field(const Json::Value& entry, const char* field, unsigned int data_id,
                         std::string& text) {
  const Json::Value& v = entry[field];
  if (present(v))
    text += v.asString();
  else
    std::cout << data_id << " " << field << " is missing" << std::endl;
  text += ";";
}

}  // namespace settings

// Mode 3: the alarm settings of each signal come with the device settings. Each entry is shown
// with what the host holds for it; looking a signal up in the host's tables enters it (level 0,
// value 0) when it is not there yet. jsoncpp visits the members in sorted order of their names.
template <class Data, class Protocol, int SpId>
void UniDataDevice<Data, Protocol, SpId>::read_threshold_settings(const Json::Value& settings) {
  std::cout << "here 1" << std::endl;
  const Json::Value& table = settings["thresholdSetting"];
  if (!settings::present(table)) return;
  std::cout << "here 2" << std::endl;
  for (auto it = table.begin(); it != table.end(); ++it) {
    const std::string key = it.key().asString();
    std::cout << "here " << key << std::endl;
    const Json::Value& entry = table[key];
    if (entry.type() != Json::objectValue) continue;
    std::string text;
    settings::append_field(entry, "NMAlarmID", this->DataId(), text);
    settings::append_field(entry, "ID", this->DataId(), text);
    settings::append_field(entry, "SignalNumber", this->DataId(), text);
    std::cout << "mobile:" << key << ":" << text << " level:" << this->alarm_levels_[key]
              << " value:" << this->thresholds_[key] << std::endl;
  }
}
