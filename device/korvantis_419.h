#pragma once

#include "acquisition/record.h"
#include "device/pmbuspower_419.h"

// The model: fixes the record and the publication identifier, names the device type and adds the
// per-module communication-state rules.
class korvantis_419 : public pmbuspower_419<korvantis_419_Data_t, 5535> {
 public:
  korvantis_419();
  ~korvantis_419() override;

  void RunCheckThreshold() override;

  // Codes and names of the per-module communication-state rules, written once and kept.
  UnitTexts comm_texts_;
};

// The templates are instantiated once, in the plug-in.
extern template class UniDataDevice<korvantis_419_Data_t, PMBusProtocol, 5535>;
extern template class pmbuspower_419<korvantis_419_Data_t, 5535>;
