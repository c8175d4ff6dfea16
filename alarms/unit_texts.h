#pragma once

#include <string>
#include <vector>

// The codes and names of one series of unit rules (one per module, one per fuse), by unit number,
// as a device keeps them once written (alarms/gated_rules.h writes and reads them).
struct UnitTexts {
  std::vector<std::string> codes;
  std::vector<std::string> names;
};

// The buffers of a round's fixed rules (a code, a name, a text of measured values), kept by the
// device so that no round allocates them again.
struct RuleBuffers {
  std::string code;
  std::string name;
  std::string text;
};
