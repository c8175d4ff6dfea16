#pragma once

#include <cstddef>
#include <string>

#include "sim/model.h"

// The info bytes of each answer of a polling round, built from the model as the power system's
// firmware lays them out (data-flag byte first). Pure functions: no frame, no state change.
namespace sim {

// A LENID of 12 bits holds at most 4095 characters: 2047 whole info bytes.
constexpr size_t kMaxInfoBytes = 2047;

// Whether a section has an alarm standing (a non-zero alarm byte, a failed line or module).
bool ac_alarm_active(const AcSection& ac);
bool rc_alarm_active(const RectifierSection& rc);
bool dc_alarm_active(const DcSection& dc);

// The data-flag byte: the model's fixed bits, the pending change bits, and 0x01 while an alarm
// stands.
uint8_t ac_data_flag(const AcSection& ac);
uint8_t rc_data_flag(const RectifierSection& rc);
uint8_t dc_data_flag(const DcSection& dc);

// What a module delivers now: nothing while it is switched off, failed, or without mains.
WireValue module_current(const Model& m, const Module& module);
bool mains_down(const AcSection& ac);

Bytes info_40_41(const Model& m);  // AC analog values
Bytes info_40_43(const Model& m);  // AC switch states
Bytes info_40_44(const Model& m);  // AC alarm states
Bytes info_41_41(const Model& m);  // rectifier analog values
Bytes info_41_43(const Model& m);  // rectifier module states
Bytes info_41_44(const Model& m);  // rectifier alarms
Bytes info_42_41(const Model& m);  // DC analog values
Bytes info_42_44(const Model& m);  // DC alarm states

// Throws std::runtime_error when an answer of the model (at its largest module count) would not
// fit one frame.
void check_answer_sizes(const Model& m, const std::string& origin);

}  // namespace sim
