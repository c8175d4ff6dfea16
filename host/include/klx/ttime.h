#pragma once

// Mirrors the closed host's interface (the host's 7-byte time stamp). The plug-in is built against
// it: names, types, layouts and the order of virtual operations stay as they are.

#include <array>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "klx/api.h"

// The 7-byte date-time of YD/T 1363.3 (also the data of the clock-setting command 0x4E):
// year high byte, year low byte, month, day, hour, minute, second.
using ttime_t = std::array<unsigned char, 7>;

KLX_API ttime_t get_ttime(boost::posix_time::ptime t);
