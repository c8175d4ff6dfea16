#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <ctime>

// Every read of the wall clock by the device goes through these two functions. Both come down to
// the C library's time(), which is what tests (a time() of their own) and the host's fake-time
// runs (libfaketime) move; the device keeps no clock state of its own.
namespace device_clock {

inline boost::posix_time::ptime local_now() {
  return boost::posix_time::second_clock::local_time();
}

inline std::time_t epoch_now() { return std::time(nullptr); }

// Whole seconds from `since` to now; negative when the clock was set back behind it.
inline long seconds_since(const boost::posix_time::ptime& since) {
  return static_cast<long>((local_now() - since).total_seconds());
}

}  // namespace device_clock
