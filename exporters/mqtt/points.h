#pragma once

// The values of one device that go to the broker, each under its own topic, read from the site
// model: only what the configuration and the record say is there (an AC section that is
// configured, the phases that are, the modules the shelf counts, the DC panels found present).
// Home Assistant's sensors are described from the same list.

#include <string>
#include <vector>

#include "exception_filter.h"
#include "klx/site_model.h"

namespace klxhost {

struct Point {
  std::string object;  // topic level and discovery object id: "ac1_a", "rc7_state"
  std::string name;    // "AC line 1 phase A voltage"
  Quantity quantity = Quantity::discrete;
  PointValue value;
  // Home Assistant: device class and unit (empty: none); an enum sensor lists its options.
  std::string device_class;
  std::string unit;
  std::vector<std::string> options;
};

std::vector<Point> device_points(const klx::DeviceModel& m);

// A value as its topic's payload: the number as text, or "None" when absent (Home Assistant's
// "unknown").
std::string point_payload(const PointValue& v);

// A measured value at the resolution it is published with (0.1 V AC, 0.01 V DC, 0.01 Hz,
// 0.01 A, 1 W): ten times finer than the default deadbands, and no finer than the plant's own.
double published_number(Quantity q, double v);

}  // namespace klxhost
