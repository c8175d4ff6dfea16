#pragma once

#include "device/pmbuspower_419.h"

// Control requests. Not built yet: every code goes to the host.
template <class Data, int SpId>
int pmbuspower_419<Data, SpId>::DeviceIoControl(int code, const void* in, int in_len, void* out,
                                                int out_cap, int& written) {
  return KLXVDevice::DeviceIoControl(code, in, in_len, out, out_cap, written);
}
