#pragma once

#include "device/pmbuspower_419.h"

// Polling round. Not built yet: no round starts and answers are ignored.
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::RefreshStatus() { return 0; }
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::process_payload() { return 0; }
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::Reset() { return 1; }
