#pragma once

#include "device/pmbuspower_419.h"

// Rectifier answers (group 0x41). Not decoded yet: each answer is refused.
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse41_41(const unsigned char*, int) { return -1; }
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse41_43(const unsigned char*, int) { return -1; }
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse41_44(const unsigned char*, int) { return -1; }
