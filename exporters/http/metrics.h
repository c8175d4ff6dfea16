#pragma once

// The devices in the Prometheus text exposition format: every family with its HELP and TYPE
// once, a sample per device (label data_id, and site when one is set). Absent values are left
// out.

#include <ctime>
#include <string>
#include <vector>

#include "site_state.h"

namespace klxhost {

std::string render_metrics(const std::vector<DeviceView>& devices, const std::string& site,
                           std::time_t now);

}  // namespace klxhost
