#include "summary.h"

namespace klxhost {

std::string round_summary(uint32_t data_id, unsigned round, const klx::PlantReading& plant,
                          size_t active_alarms) {
  return "klx-host: data_id " + std::to_string(data_id) + " round " + std::to_string(round) + ": " +
         klx::plant_summary(plant) + "; active alarms " + std::to_string(active_alarms);
}

}  // namespace klxhost
