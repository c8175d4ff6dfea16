#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "device/korvantis_419.h"
#include "klx/device_setup.h"

// What a device must have configured for a round to state every rule it has, found by running
// the rules themselves on a device with the largest counts the wire allows: a rule written
// tomorrow is in the catalogue without anyone adding it. The fuzz targets, the reliability tests
// and the benchmark all configure their devices from it.
namespace rule_catalogue {

struct Catalogue {
  // Every code a rule of either mode reads a level for, the communication alarm's included.
  std::vector<std::string> alarm_codes;
  // Every code a rule reads a threshold for, with the limit of a healthy 48 V system.
  std::map<std::string, float> thresholds;
  // The change-report setting keys of mode 1's values (a rule only looks for them, so they are
  // the one list kept by hand; the identifiers below prove each one is used).
  std::vector<std::string> report_keys;
  // The report identifiers mode 1 adds to the table under those keys, over both identifier
  // families of the phase voltages (a device can switch between them).
  size_t report_identifiers = 0;
};

// Built once, on first use. Throws std::logic_error when a rule reads a threshold that has no
// healthy limit here, so a new threshold rule cannot go unconfigured.
const Catalogue& every_rule();

// A level for every code (`level_of(i)` for the i-th, 1 without it) and every threshold, as the
// host's tables of a device.
klx::DeviceTables tables(int (*level_of)(size_t) = nullptr);

// Gives `dev` a level for every code (`level_of(i)` for the i-th, 1 without it) and every
// threshold. Change reports are the caller's: each sets its own under `report_keys`.
void configure(korvantis_419& dev, int (*level_of)(size_t) = nullptr);

}  // namespace rule_catalogue
