#include "klx/ttime.h"

#include <boost/date_time/posix_time/posix_time.hpp>

ttime_t get_ttime(boost::posix_time::ptime t) {
  ttime_t out{};
  if (t.is_special()) return out;
  const auto date = t.date();
  const auto tod = t.time_of_day();
  const unsigned year = static_cast<unsigned>(date.year());
  out[0] = static_cast<unsigned char>(year >> 8);
  out[1] = static_cast<unsigned char>(year & 0xFF);
  out[2] = static_cast<unsigned char>(date.month());
  out[3] = static_cast<unsigned char>(date.day());
  out[4] = static_cast<unsigned char>(tod.hours());
  out[5] = static_cast<unsigned char>(tod.minutes());
  out[6] = static_cast<unsigned char>(tod.seconds());
  return out;
}
