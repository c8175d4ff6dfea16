// process_payload through whole polling rounds. An input is a device with arbitrary options and
// every alarm rule configured, then a short script: answers with an arbitrary info length field
// (the buffer holds exactly the info bytes that field announces, as the host lays every answer
// out), poll ticks, Reset, clock moves, forced poll states and value lookups.
#include <algorithm>
#include <stdexcept>

#include "fuzz_support.h"

namespace {

const int32_t states[] = {10, 100, 101, 102, 104, 105, 106, 107, 108, 300, 310, 320, 0};
const char* const names[] = {"out_v", "ac", "ac1", "ac2", "dc"};
constexpr int kMaxSteps = 64;

void answer(korvantis_419& dev, FuzzInput& in) {
  const uint16_t lenid = in.u16();
  const std::vector<uint8_t> info = in.take(lenid >> 1);
  std::vector<uint8_t> rx(6 + (lenid >> 1), 0);
  rx[0] = 0x20;
  rx[1] = 1;
  rx[4] = static_cast<uint8_t>(lenid);
  rx[5] = static_cast<uint8_t>(lenid >> 8);
  std::copy(info.begin(), info.end(), rx.begin() + 6);
  dev.rx_buf_ = rx.data();
  dev.process_payload();
  dev.rx_buf_ = nullptr;
}

void get_value(korvantis_419& dev, uint8_t pick) {
  try {
    dev.Get_Value(dev.DataId(), names[pick % (sizeof names / sizeof names[0])]);
  } catch (const std::out_of_range&) {
    // The refusals of Get_Value are its answer.
  }
}

void step(korvantis_419& dev, FuzzInput& in) {
  const uint8_t op = in.byte();
  switch (op % 8) {
    case 4:  // up to four minutes, or an hour back or a day forward
      if (op & 0x80)
        fuzz_clock::advance(op & 0x40 ? -3600 : 86400);
      else
        fuzz_clock::advance(in.byte());
      break;
    case 5:
      dev.RefreshStatus();
      break;
    case 6:
      dev.Reset();
      break;
    case 7:
      if (op & 0x80)
        get_value(dev, in.byte());
      else
        dev.cmd_state_ = states[in.byte() % (sizeof states / sizeof states[0])];
      break;
    default:
      answer(dev, in);
  }
}

}  // namespace

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
  dev.cmd_state_ = states[in.byte() % (sizeof states / sizeof states[0])];
  for (int i = 0; i < kMaxSteps && !in.empty(); ++i) {
    step(dev, in);
    require(dev.rules_.empty(), "rule list empty between calls");
    require(dev.ao_settings_.size() <= configured_report_settings() + report_identifiers(),
            "change-report table bounded");
  }
  return 0;
}
