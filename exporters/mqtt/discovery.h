#pragma once

// Home Assistant's MQTT discovery configs of one device: a sensor per value topic (no template:
// each reads its own topic), a problem binary_sensor per alarm key with the alarm's texts as
// attributes, and a connectivity binary_sensor that stays visible while the device is offline.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "points.h"
#include "topics.h"

namespace klxhost {

// An alarm the device has: its key and its name, the plug-in's own text (empty until known).
struct AlarmEntity {
  std::string key;
  std::string name;
};

// Config topic -> payload, for every entity the device has now.
std::map<std::string, std::string> discovery_configs(const TopicNames& names, uint32_t data_id,
                                                     const std::vector<Point>& points,
                                                     const std::vector<AlarmEntity>& alarms);

}  // namespace klxhost
