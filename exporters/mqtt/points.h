#pragma once

// The values of one device that go to the broker, each under its own topic, read from the site
// model: only what the configuration and the record say is there (an AC section that is
// configured, the phases that are, the modules the shelf counts, the DC panels found present).
// Home Assistant's sensors are described from the same list.
//
// A round only needs the values: `point_sources` lists where each one lives (no text is built),
// and the names and descriptions are made from that list only when it changes.

#include <cstdint>
#include <string>
#include <vector>

#include "exception_filter.h"
#include "klx/site_model.h"

namespace klxhost {

// Where a point's value lives in the plant reading.
struct PointSource {
  enum Kind : uint8_t {
    ac_phase,      // line `at`, phase `sub`
    ac_frequency,  // line `at`
    ac_value,      // trailing value `sub`
    input_switch,  // switch `at`
    rc_voltage,
    rc_current,
    rc_count,
    module_current,  // module `at`
    module_state,
    module_alarm,
    panel_voltage,  // panel `at`
    panel_current,
    panel_power,
    panel_alarm,
    dc_current,
    dc_power,
  };
  Kind kind = rc_voltage;
  uint8_t sub = 0;
  uint16_t at = 0;      // index in the reading's list of lines, switches, modules or panels
  uint16_t number = 0;  // the number the line, module or panel is named by
  bool operator==(const PointSource& o) const {
    return kind == o.kind && sub == o.sub && at == o.at && number == o.number;
  }
  bool operator!=(const PointSource& o) const { return !(*this == o); }
};

struct Point {
  std::string object;  // topic level and discovery object id: "ac1_a", "rc7_state"
  std::string name;    // "AC line 1 phase A voltage"
  Quantity quantity = Quantity::discrete;
  // Home Assistant: device class and unit (empty: none); an enum sensor lists its options.
  std::string device_class;
  std::string unit;
  std::vector<std::string> options;
};

// The device's points in publishing order, into `out` (cleared first): the one place that decides
// which values exist.
void point_sources(const klx::DeviceModel& m, std::vector<PointSource>& out);

Quantity quantity_of(const PointSource& s);

// The value a source points at, at the resolution it is published with.
PointValue point_value(const PointSource& s, const klx::PlantReading& p);

// The point's names and description, without its value.
Point describe(const PointSource& s);

// A value as its topic's payload: the number as text, or "None" when absent (Home Assistant's
// "unknown").
std::string point_payload(const PointValue& v);

// A measured value at the resolution it is published with (0.1 V AC, 0.01 V DC, 0.01 Hz,
// 0.01 A, 1 W): ten times finer than the default deadbands, and no finer than the plant's own.
double published_number(Quantity q, double v);

}  // namespace klxhost
