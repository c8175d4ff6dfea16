#include "support/plant_record.h"

#include <algorithm>

#include "acquisition/record.h"

std::vector<uint8_t> plant_record(const PlantValues& v, uint32_t data_id) {
  korvantis_419_Data_t rec{};
  rec.data_id = data_id;
  rec.ac.channel_count = 1;
  rec.ac.ac_a = kInvalidValue;
  rec.ac.ac_b = kInvalidValue;
  rec.ac.ac_c = kInvalidValue;
  rec.acChannel[0].a = v.phase[0];
  rec.acChannel[0].b = v.phase[1];
  rec.acChannel[0].c = v.phase[2];
  rec.acChannel[0].f = v.frequency;
  rec.rc_voltage = v.rc_voltage;
  rec.rc_channel_count = static_cast<uint8_t>(std::min<size_t>(v.modules.size(), RC_CHANNEL_MAX));
  for (size_t i = 0; i < rec.rc_channel_count; ++i) rec.rcChannel[i].current = v.modules[i];
  rec.dc.voltage = v.dc_voltage;
  rec.dc.current = v.dc_current;
  const auto* p = reinterpret_cast<const uint8_t*>(&rec);
  return std::vector<uint8_t>(p, p + sizeof rec);
}
