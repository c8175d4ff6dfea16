#pragma once

// The names of the device options in "settings"."appSetting" (docs/device-options.md), in the
// order the plug-in reads them. The host's settings check includes this table too, so a name
// added here is both read and accepted.
namespace settings {
namespace option {
inline constexpr char kHasAc[] = "has_ac";
inline constexpr char kHasDc[] = "has_dc";
inline constexpr char kNoDcNumber[] = "no_dc_number";
inline constexpr char kAcLine[] = "ac_line";
inline constexpr char kAcType[] = "ac_type";
inline constexpr char kHasA[] = "has_a";
inline constexpr char kHasB[] = "has_b";
inline constexpr char kHasC[] = "has_c";
inline constexpr char kDcIAdjust[] = "dc_i_adjust";
inline constexpr char kSkip4141[] = "skip_41_41";
inline constexpr char kHasTower[] = "has_tower";
inline constexpr char kNo42Arg[] = "no_42_arg";
inline constexpr char kNo40Arg[] = "no_40_arg";
inline constexpr char kBMode[] = "b_mode";  // read by the generic layer
}  // namespace option

inline constexpr const char* kDeviceOptions[] = {
    option::kHasAc,    option::kHasDc,   option::kNoDcNumber, option::kAcLine,    option::kAcType,
    option::kHasA,     option::kHasB,    option::kHasC,       option::kDcIAdjust, option::kSkip4141,
    option::kHasTower, option::kNo42Arg, option::kNo40Arg,    option::kBMode};

}  // namespace settings
