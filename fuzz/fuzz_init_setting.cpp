// InitSetting on arbitrary JSON text. jsoncpp's conversion errors are let out by design and the
// host catches them as configuration errors; anything else escaping is a finding. Settings that
// are taken then go through a round's end, so every option and mode they set builds its rules.
#include <json/reader.h>

#include <string>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Json::Value settings;
  Json::Reader reader;
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (!reader.parse(text, settings)) return 0;
  fuzz_clock::reset();
  CheckingEvents events;
  korvantis_419 dev;
  dev.set_events(&events);
  dev.data_id_ = 7;
  dev.alarm_levels_["k1"] = 2;
  try {
    dev.InitSetting(settings);
  } catch (const Json::Exception&) {
    return 0;
  }
  require(dev.data_.data_id.get() == 7, "data identifier stamped");
  configure_every_rule(dev);
  dev.data_.rc_channel_count = 3;
  dev.data_.ac.channel_count = 2;
  dev.RoundDone();
  require(dev.rules_.empty(), "rule list empty after the round");
  return 0;
}
