#pragma once

#include "config/setting_value.h"
#include "device/pmbuspower_419.h"

// Device options from "appSetting". The keys are read in this fixed order; an absent key keeps
// the constructor's default. The data identifier is stamped into the record whether or not the
// options are present, then the generic layer reads its own settings.
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::InitSetting(const Json::Value& settings) {
  if (const Json::Value* found = settings::app_setting(settings)) {
    const Json::Value& app = *found;
    settings::read_bool(app, "has_ac", has_ac_);
    settings::read_bool(app, "has_dc", has_dc_);
    settings::read_int(app, "no_dc_number", no_dc_number_);
    settings::read_int(app, "ac_line", ac_line_);
    settings::read_int(app, "ac_type", ac_type_);
    settings::read_bool(app, "has_a", has_a_);
    settings::read_bool(app, "has_b", has_b_);
    settings::read_bool(app, "has_c", has_c_);
    settings::read_int(app, "dc_i_adjust", dc_i_adjust_);
    settings::read_int(app, "skip_41_41", skip_41_41_);
    settings::read_bool(app, "has_tower", has_tower_);
    settings::read_int(app, "no_42_arg", no_42_arg_);
    settings::read_int(app, "no_40_arg", no_40_arg_);
  }
  this->stamp_data_id();
  Base::InitSetting(settings);
  return 1;
}
