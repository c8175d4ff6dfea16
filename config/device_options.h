#pragma once

#include "config/option_names.h"
#include "config/setting_value.h"
#include "device/pmbuspower_419.h"

// Device options from "appSetting". The keys are read in this fixed order; an absent key keeps
// the constructor's default. The data identifier is stamped into the record whether or not the
// options are present, then the generic layer reads its own settings.
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::InitSetting(const Json::Value& settings) {
  if (const Json::Value* found = settings::app_setting(settings)) {
    const Json::Value& app = *found;
    namespace option = settings::option;
    settings::read_bool(app, option::kHasAc, has_ac_);
    settings::read_bool(app, option::kHasDc, has_dc_);
    settings::read_int(app, option::kNoDcNumber, no_dc_number_);
    settings::read_int(app, option::kAcLine, ac_line_);
    settings::read_int(app, option::kAcType, ac_type_);
    settings::read_bool(app, option::kHasA, has_a_);
    settings::read_bool(app, option::kHasB, has_b_);
    settings::read_bool(app, option::kHasC, has_c_);
    settings::read_int(app, option::kDcIAdjust, dc_i_adjust_);
    settings::read_int(app, option::kSkip4141, skip_41_41_);
    settings::read_bool(app, option::kHasTower, has_tower_);
    settings::read_int(app, option::kNo42Arg, no_42_arg_);
    settings::read_int(app, option::kNo40Arg, no_40_arg_);
  }
  this->stamp_data_id();
  Base::InitSetting(settings);
  return 1;
}
