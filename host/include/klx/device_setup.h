#pragma once

// This host's own: a new device set up the way the host sets every device up, for the runner,
// the tests and the benchmarks alike.

#include <json/value.h>

#include <cstdint>
#include <map>
#include <string>

#include "klx/pmbus_protocol.h"

namespace klx {

class DeviceEvents;

// The tables the host fills in the device before InitSetting.
struct DeviceTables {
  std::map<std::string, int> alarm_levels;
  std::map<std::string, float> thresholds;
  std::map<std::string, KLXVDevice::BAOSetting> ao_settings;
};

// Its host calls to `events`, Init with the data identifier, the protocol address, the tables,
// then InitSetting, whose exception passes to the caller. The caller gives it a line after.
void set_up_device(PMBusProtocol& dev, DeviceEvents* events, uint32_t data_id, uint8_t address,
                   const Json::Value& settings, const DeviceTables& tables = {});

}  // namespace klx
