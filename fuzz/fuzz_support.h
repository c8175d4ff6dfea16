#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "device/korvantis_419.h"
#include "klx/events.h"

// Takes bytes off the front of a fuzzer input: settings first, the payload is what remains.
class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t byte() { return size_ ? (--size_, *data_++) : 0; }
  uint16_t u16() { return static_cast<uint16_t>(byte() | byte() << 8); }
  bool empty() const { return size_ == 0; }
  // The rest, copied into a buffer of exactly its size so that any over-read is caught.
  std::vector<uint8_t> rest() { return take(size_); }
  // The next `n` bytes (fewer when the input runs out).
  std::vector<uint8_t> take(size_t n) {
    n = n < size_ ? n : size_;
    std::vector<uint8_t> out(data_, data_ + n);
    data_ += n;
    size_ -= n;
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

// A device with options drawn from the input: layout quirks, panel layout, mode.
void apply_random_options(korvantis_419& dev, FuzzInput& in);

// Every alarm code of the rule catalogue (tests/support/rule_catalogue.h), each with a non-zero
// level, and thresholds and change-report settings under the codes that read them, so that a
// round builds every rule.
void configure_every_rule(korvantis_419& dev);
// The number of entries configure_every_rule puts into the change-report table.
size_t configured_report_settings();
// Report identifiers the rules can add to that table on top of the configured ones.
size_t report_identifiers();

class CheckingEvents;
// The start of a whole-device input: `dev` hands its work to `events`, has every rule configured
// and takes its options from `in`.
void prepare_device(korvantis_419& dev, CheckingEvents& events, FuzzInput& in);

// The wall clock the device reads: each target defines time() itself, so every input starts at
// the same moment and moves the clock only as it says.
namespace fuzz_clock {
void reset();
void advance(long seconds);
}  // namespace fuzz_clock

// Checks what the device hands the host on every input; a broken promise aborts the run.
class CheckingEvents : public klx::DeviceEvents {
 public:
  void on_publish(KLXVDevice& dev, int sp_id, const uint8_t* record, size_t length) override;
  void on_history(KLXVDevice& dev, const uint8_t* record, size_t length) override;
  bool on_batch(KLXVDevice& dev, const std::vector<rule_value>& rules) override;
  void on_report(KLXVDevice& dev, const std::string& id, float value) override;
};

// Aborts with a message when a promise of the device does not hold.
void require(bool holds, const char* what);

// Diagnostics would swamp the fuzzer's output and slow it down.
void silence_stdout();
