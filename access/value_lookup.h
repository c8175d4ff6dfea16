#pragma once

#include "device/pmbuspower_419.h"

// Single-value lookup. Not built yet: the host's refusal stands.
template <class Data, int SpId>
float pmbuspower_419<Data, SpId>::Get_Value(unsigned int data_id, const std::string& name) const {
  return KLXVDevice::Get_Value(data_id, name);
}
