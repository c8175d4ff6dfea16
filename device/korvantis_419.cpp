#include "device/korvantis_419.h"

#include "device/device_impl.h"

template class UniDataDevice<korvantis_419_Data_t, PMBusProtocol, 5535>;
template class pmbuspower_419<korvantis_419_Data_t, 5535>;

korvantis_419::korvantis_419() {
  device_type_ = "korvantis_419";
  sp_flag_ = 1;
}

korvantis_419::~korvantis_419() {}
