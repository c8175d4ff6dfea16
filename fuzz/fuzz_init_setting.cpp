// InitSetting on arbitrary JSON text. jsoncpp's conversion errors are let out by design and the
// host catches them as configuration errors; anything else escaping is a finding.
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
  korvantis_419 dev;
  dev.data_id_ = 7;
  dev.alarm_levels_["k1"] = 2;
  try {
    dev.InitSetting(settings);
  } catch (const Json::Exception&) {
  }
  return 0;
}
