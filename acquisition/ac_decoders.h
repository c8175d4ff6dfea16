#pragma once

#include "device/pmbuspower_419.h"

// AC distribution answers (group 0x40). Not decoded yet: each answer is refused.
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse40_41(const unsigned char*, int) { return -1; }
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse40_43(const unsigned char*, int) { return -1; }
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse40_44(const unsigned char*, int) { return -1; }
