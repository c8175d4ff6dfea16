// LoadFromCache on arbitrary blobs: only a whole record is taken, and a taken record goes through
// the end of a round (rules of every mode included).
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  korvantis_419 dev;
  apply_random_options(dev, in);
  dev.alarm_levels_["120600180010"] = in.byte() & 1;
  const std::vector<uint8_t> blob = in.rest();
  dev.LoadFromCache(blob.data(), static_cast<int>(blob.size()));
  return 0;
}
