#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "support/device_probe.h"
#include "support/hex.h"
#include "support/stdout_capture.h"

// Helpers for the acquisition tests: answers written as hex, decoders fed from heap buffers of
// exactly the bytes given (so the sanitizer catches any over-read), record bytes read at
// absolute offsets.
namespace acq {

using Decoder = int (korvantis_419::*)(const unsigned char*, int);

inline std::vector<uint8_t> H(const std::string& text) { return hex::decode(text); }

struct Decoded {
  int result;
  std::string out;  // what the decoder wrote to standard output
};

// Feeds `bytes` to the decoder in a buffer of exactly their size, with their size as length.
inline Decoded decode(korvantis_419& dev, Decoder fn, const std::vector<uint8_t>& bytes) {
  const std::vector<uint8_t> buf(bytes);  // a copy holds exactly its bytes (none: no buffer)
  StdoutCapture cap;
  const int result = (dev.*fn)(buf.data(), static_cast<int>(buf.size()));
  return {result, cap.take()};
}

inline std::vector<uint8_t> record_of(const korvantis_419& dev) {
  const auto* p = reinterpret_cast<const uint8_t*>(&dev.data_);
  return std::vector<uint8_t>(p, p + sizeof(dev.data_));
}

// `n` record bytes from absolute offset `off`, as lower-case hex.
inline std::string at(const korvantis_419& dev, size_t off, size_t n = 4) {
  const std::vector<uint8_t> rec = record_of(dev);
  return hex::encode(std::vector<uint8_t>(rec.begin() + off, rec.begin() + off + n));
}

// Fills the whole record with one byte, so that untouched fields can be told from written ones.
inline void fill_record(korvantis_419& dev, uint8_t byte) {
  std::memset(static_cast<void*>(&dev.data_), byte, sizeof(dev.data_));
}

}  // namespace acq
