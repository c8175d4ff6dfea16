#include "klx/device_setup.h"

#include <memory>

namespace klx {

void set_up_device(PMBusProtocol& dev, DeviceEvents* events, uint32_t data_id, uint8_t address,
                   const Json::Value& settings, const DeviceTables& tables) {
  dev.set_events(events);
  dev.Init(std::weak_ptr<KLXController>(), data_id, settings);
  dev.address_ = address;
  dev.alarm_levels_ = tables.alarm_levels;
  dev.thresholds_ = tables.thresholds;
  dev.ao_settings_ = tables.ao_settings;
  dev.InitSetting(settings);
}

}  // namespace klx
