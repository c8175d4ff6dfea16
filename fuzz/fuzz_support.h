#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "device/korvantis_419.h"

// Takes bytes off the front of a fuzzer input: settings first, the payload is what remains.
class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t byte() { return size_ ? (--size_, *data_++) : 0; }
  uint16_t u16() { return static_cast<uint16_t>(byte() | byte() << 8); }
  // The rest, copied into a buffer of exactly its size so that any over-read is caught.
  std::vector<uint8_t> rest() {
    std::vector<uint8_t> out(data_, data_ + size_);
    size_ = 0;
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

// A device with options drawn from the input: layout quirks, panel layout, mode.
void apply_random_options(korvantis_419& dev, FuzzInput& in);

// Diagnostics would swamp the fuzzer's output and slow it down.
void silence_stdout();
