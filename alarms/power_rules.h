#pragma once

#include "device/pmbuspower_419.h"

// Power-system alarm rules. Not built yet: no rule is made.
template <class Data, int SpId>
void pmbuspower_419<Data, SpId>::RunCheckThreshold() {}
