// process_payload in each poll state with an arbitrary answer. The answer's length field is
// arbitrary too; the buffer behind it holds exactly the info bytes that field announces, as the
// host lays every answer out.
#include "fuzz_support.h"

#include <algorithm>

namespace {
const int32_t states[] = {10, 100, 101, 102, 104, 105, 106, 107, 108, 300, 310, 0};
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  korvantis_419 dev;
  apply_random_options(dev, in);
  dev.cmd_state_ = states[in.byte() % (sizeof states / sizeof states[0])];
  const uint16_t lenid = in.u16();
  const std::vector<uint8_t> info = in.rest();
  std::vector<uint8_t> rx(6 + (lenid >> 1), 0);
  rx[0] = 0x20;
  rx[1] = 1;
  rx[4] = static_cast<uint8_t>(lenid);
  rx[5] = static_cast<uint8_t>(lenid >> 8);
  std::copy_n(info.begin(), std::min(info.size(), rx.size() - 6), rx.begin() + 6);
  dev.rx_buf_ = rx.data();
  dev.process_payload();
  return 0;
}
