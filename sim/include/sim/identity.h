#pragma once

#include <cstddef>
#include <string>

#include "sim/model.h"

// The identification answers: the protocol version (0x4F) and the address (0x50) travel in the
// answer's header; the manufacturer information (0x51) is 32 info bytes.
namespace sim {

constexpr size_t kDeviceNameBytes = 10;
constexpr size_t kMakerBytes = 20;

// UTF-8 text as the firmware sends it: GB18030 (so ASCII stays ASCII), padded with spaces to
// `width` bytes. Throws std::runtime_error when it does not convert or does not fit.
Bytes wire_text(const std::string& utf8, size_t width);

// Device name (10 bytes), software version (major, minor), maker (20 bytes).
Bytes info_51(const Model& m);

// Throws std::runtime_error naming `origin` when a text of the identity cannot be sent.
void check_identity(const Identity& id, const std::string& origin);

}  // namespace sim
