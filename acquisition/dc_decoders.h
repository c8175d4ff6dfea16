#pragma once

#include "device/pmbuspower_419.h"

// DC distribution answers (group 0x42). Not decoded yet: each answer is refused.
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse42_41(const unsigned char*, int) { return -1; }
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse42_41_2(const unsigned char*, int) { return -1; }
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse42_44(const unsigned char*, int) { return -1; }
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::parse42_44_2(const unsigned char*, int) { return -1; }
