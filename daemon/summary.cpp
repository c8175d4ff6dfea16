#include "summary.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "acquisition/record.h"
#include "record_fields.h"

namespace klxhost {
namespace {

// Values as klx-record and klx-history show them.
std::string text(float v) { return record_fields::float_text(v); }

std::string ac_part(const korvantis_419_Data_t& r) {
  const unsigned lines = std::min<unsigned>(r.ac.channel_count, AC_CHANNEL_MAX);
  if (lines == 0) return "AC -";
  std::string s;
  for (unsigned i = 0; i < lines; ++i) {
    const auto& c = r.acChannel[i];
    s += (i ? ", AC" : "AC") + std::to_string(i + 1) + " " + text(c.a) + "/" + text(c.b) + "/" +
         text(c.c) + " V " + text(c.f) + " Hz";
  }
  return s;
}

std::string rc_part(const korvantis_419_Data_t& r) {
  const unsigned n = std::min<unsigned>(r.rc_channel_count, RC_CHANNEL_MAX);
  return "rectifiers " + std::to_string(n) + " at " + text(r.rc_voltage) + " V " +
         record_fields::rectifier_current_text(r) + " A";
}

// A record of a system polled without its DC section holds zeros there.
std::string dc_part(const korvantis_419_Data_t& r) {
  if (r.dc.voltage == 0.0f && r.dc.current == 0.0f) return "DC -";
  return "DC " + text(r.dc.voltage) + " V " + text(r.dc.current) + " A";
}

}  // namespace

std::string round_summary(uint32_t data_id, unsigned round, const std::vector<uint8_t>& record,
                          size_t active_alarms) {
  std::string head =
      "klx-host: data_id " + std::to_string(data_id) + " round " + std::to_string(round) + ": ";
  const std::string tail = "; active alarms " + std::to_string(active_alarms);
  if (record.size() != sizeof(korvantis_419_Data_t))
    return head + "record of " + std::to_string(record.size()) + " bytes" + tail;
  korvantis_419_Data_t r;
  std::memcpy(static_cast<void*>(&r), record.data(), sizeof r);
  return head + ac_part(r) + "; " + rc_part(r) + "; " + dc_part(r) + tail;
}

}  // namespace klxhost
