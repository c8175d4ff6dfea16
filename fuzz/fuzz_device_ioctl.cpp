// DeviceIoControl with an arbitrary code, input and output capacity. Buffers are exactly as
// large as the call says.
#include <memory>
#include <string>

#include "fuzz_support.h"

namespace {
const int codes[] = {300, 310, 320};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  korvantis_419 dev;
  const uint8_t pick = in.byte();
  const int code = pick < 192 ? codes[pick % 3] : static_cast<int>(in.u16()) - 1000;
  static const char* types[] = {"korvantis_419", "tarbo_419", "felin_419", "quoss_419"};
  dev.device_type_ = types[in.byte() & 3];
  const int out_cap = in.byte() % 16;
  const std::vector<uint8_t> input = in.rest();
  std::unique_ptr<uint8_t[]> out(new uint8_t[out_cap ? out_cap : 1]);
  int written = -7;
  dev.DeviceIoControl(code, input.empty() ? nullptr : input.data(), static_cast<int>(input.size()),
                      out.get(), out_cap, written);
  return 0;
}
