#pragma once

#include <string>
#include <vector>

// The codes and names of one series of unit rules (one per module, one per fuse), by unit number,
// as a device keeps them once written (alarms/gated_rules.h writes and reads them).
struct UnitTexts {
  std::vector<std::string> codes;
  std::vector<std::string> names;
};
