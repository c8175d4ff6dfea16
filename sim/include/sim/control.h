#pragma once

#include <cstdint>

#include "sim/model.h"

// The control commands the power system obeys: the model follows them (a module switched off
// stops delivering current) and the answer carries only a return code.
namespace sim {

// Return codes of an answer (RTN).
constexpr uint8_t kRtnOk = 0x00;
constexpr uint8_t kRtnVersion = 0x01;
constexpr uint8_t kRtnChecksum = 0x02;
constexpr uint8_t kRtnLengthChecksum = 0x03;
constexpr uint8_t kRtnUnknownCommand = 0x04;
constexpr uint8_t kRtnFormat = 0x05;
constexpr uint8_t kRtnInvalidData = 0x06;

bool is_control_command(uint8_t cid2);

// Applies one control command to the model and returns the answer's RTN:
// 0x4E clock (7 bytes), 0x48 parameter as a float (code + 4 bytes), 0x49 parameter as a
// fixed-point number (code + 2 bytes, hundredths, high byte first), 0x45 rectifier remote control
// (type + module number).
uint8_t apply_control(Model& m, uint8_t cid1, uint8_t cid2, const Bytes& data);

}  // namespace sim
