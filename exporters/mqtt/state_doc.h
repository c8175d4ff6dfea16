#pragma once

// The whole state of one device as one JSON document, read from the site model: sent on the
// heartbeat and when the device's structure changes, for consumers that want one message.
//   {"time": "...", "round": 12, "data_id": 7,
//    "ac": {"lines": [{"a": 230.1, "b": 229.4, "c": 231.2, "f": 50, "alarm": [0, 0, 0, 0]}],
//           "values": [8.4, 8.1, null], "switches": [0, 0], "alarm": [0, 0, 0]},
//    "shelf": {"voltage": 48.3, "current": 400.2,
//              "modules": {"current": [...], "state": ["running", ...], "alarm": [...]}},
//    "dc": [{"panel": 1, "voltage": 48.2, "current": 310.5, "power": 14966, "alarm": 0}],
//    "dc_current": 372.9, "dc_power": 17968, "alarms": [{"key": "...", "level": 1, ...}]}
// Absent values are null; absent hardware is left out.

#include <ctime>
#include <string>

#include "klx/site_model.h"

namespace klxhost {

std::string state_document(const klx::DeviceModel& m, unsigned round, std::time_t time);

}  // namespace klxhost
