#include "sim/control.h"

#include <cstring>

namespace sim {
namespace {

uint8_t set_clock(Model& m, const Bytes& d) {
  if (d.size() != 7) return kRtnFormat;
  // year (2 bytes), month, day, hour, minute, second
  const bool valid =
      d[2] >= 1 && d[2] <= 12 && d[3] >= 1 && d[3] <= 31 && d[4] < 24 && d[5] < 60 && d[6] < 60;
  if (!valid) return kRtnInvalidData;
  std::memcpy(m.clock.data(), d.data(), 7);
  m.clock_set = true;
  return kRtnOk;
}

uint8_t set_float_parameter(Model& m, const Bytes& d) {
  if (d.size() != 5) return kRtnFormat;
  const uint32_t u =
      uint32_t(d[1]) | uint32_t(d[2]) << 8 | uint32_t(d[3]) << 16 | uint32_t(d[4]) << 24;
  float v;
  std::memcpy(&v, &u, 4);
  m.parameters[d[0]] = v;
  return kRtnOk;
}

uint8_t set_fixed_parameter(Model& m, const Bytes& d) {
  if (d.size() != 3) return kRtnFormat;
  const auto hundredths = static_cast<int16_t>(uint16_t(d[1]) << 8 | d[2]);
  m.parameters[d[0]] = static_cast<float>(hundredths) / 100.0f;
  return kRtnOk;
}

// Module numbers count from 1; 0 addresses the whole shelf.
template <class F>
uint8_t for_modules(Model& m, uint8_t number, F apply) {
  auto& mods = m.rectifiers.modules;
  if (number > mods.size()) return kRtnInvalidData;
  for (size_t i = 0; i < mods.size(); ++i)
    if (number == 0 || i + 1 == number) apply(mods[i]);
  return kRtnOk;
}

// Types: 0x20 / 0xE5 switch on, 0x2F / 0xE6 switch off (the second byte is the module), and the
// charge modes 0x1F float, 0x10 equalize, 0x11 battery test (for the whole shelf).
uint8_t remote_control(Model& m, const Bytes& d) {
  if (d.size() != 2) return kRtnFormat;
  switch (d[0]) {
    case 0x20:
    case 0xE5:
      return for_modules(m, d[1], [](Module& mod) { mod.status[0] = 0; });
    case 0x2F:
    case 0xE6:
      return for_modules(m, d[1], [](Module& mod) { mod.status[0] = 1; });
    case 0x1F:
      return for_modules(m, 0, [](Module& mod) { mod.status[2] = 0; });
    case 0x10:
      return for_modules(m, 0, [](Module& mod) { mod.status[2] = 1; });
    case 0x11:
      return for_modules(m, 0, [](Module& mod) { mod.status[2] = 2; });
    default:
      return kRtnInvalidData;
  }
}

}  // namespace

bool is_control_command(uint8_t cid2) {
  return cid2 == 0x4E || cid2 == 0x48 || cid2 == 0x49 || cid2 == 0x45;
}

uint8_t apply_control(Model& m, uint8_t cid1, uint8_t cid2, const Bytes& data) {
  switch (cid2) {
    case 0x4E:
      return set_clock(m, data);
    case 0x48:
      return set_float_parameter(m, data);
    case 0x49:
      return set_fixed_parameter(m, data);
    case 0x45:
      return cid1 == 0x41 ? remote_control(m, data) : kRtnUnknownCommand;
    default:
      return kRtnUnknownCommand;
  }
}

}  // namespace sim
