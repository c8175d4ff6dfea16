#include "device/korvantis_419.h"

// Model rules. Not built yet: only the power-system rules are made.
void korvantis_419::RunCheckThreshold() { pmbuspower_419::RunCheckThreshold(); }
