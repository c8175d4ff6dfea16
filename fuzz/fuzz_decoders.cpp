// Each decoder on arbitrary bytes and length, on a device with arbitrary options.
#include "fuzz_support.h"

namespace {
using Decoder = int (korvantis_419::*)(const unsigned char*, int);
const Decoder decoders[] = {
    &korvantis_419::parse40_41,   &korvantis_419::parse40_43,   &korvantis_419::parse40_44,
    &korvantis_419::parse41_41,   &korvantis_419::parse41_43,   &korvantis_419::parse41_44,
    &korvantis_419::parse42_41,   &korvantis_419::parse42_41_2, &korvantis_419::parse42_44,
    &korvantis_419::parse42_44_2,
};
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  korvantis_419 dev;
  apply_random_options(dev, in);
  const Decoder decode = decoders[in.byte() % (sizeof decoders / sizeof decoders[0])];
  // The length may claim less than the buffer holds, never more: that is the host's promise.
  const std::vector<uint8_t> payload = in.rest();
  (dev.*decode)(payload.data(), static_cast<int>(payload.size()));
  return 0;
}
