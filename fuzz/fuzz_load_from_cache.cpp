// LoadFromCache on arbitrary blobs: only a whole record is taken, and a taken record goes through
// the end of a round with every alarm rule configured (rules of every mode included).
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_clock::reset();
  FuzzInput in(data, size);
  CheckingEvents events;
  korvantis_419 dev;
  prepare_device(dev, events, in);
  if (in.byte() & 1) dev.alarm_levels_["120600180010"] = 0;
  const std::vector<uint8_t> blob = in.rest();
  const bool taken = dev.LoadFromCache(blob.data(), static_cast<int>(blob.size()));
  require(taken == (blob.size() == sizeof(korvantis_419_Data_t)), "only a whole record is taken");
  require(dev.rules_.empty(), "rule list empty after the round");
  return 0;
}
