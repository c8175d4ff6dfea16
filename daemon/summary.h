#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace klxhost {

// One line about a completed round, from the record it published: AC lines, rectifiers, DC
// panel and the number of active alarms.
std::string round_summary(uint32_t data_id, unsigned round, const std::vector<uint8_t>& record,
                          size_t active_alarms);

}  // namespace klxhost
