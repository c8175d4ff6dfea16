#pragma once

#include "device/uni_data_device.h"

// Analog change reporting. Not built yet: nothing is reported.
template <class Data, class Protocol, int SpId>
int UniDataDevice<Data, Protocol, SpId>::CheckAOReport(const std::string&, const std::string&,
                                                       float) {
  return 0;
}
