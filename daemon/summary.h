#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "klx/site_model.h"

namespace klxhost {

// One line about a completed round, from the device's model: its plant summary and the number
// of active alarms.
std::string round_summary(uint32_t data_id, unsigned round, const klx::PlantReading& plant,
                          size_t active_alarms);

}  // namespace klxhost
