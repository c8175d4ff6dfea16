#pragma once

// This host's own runtime (in-process peers: simulator, replay), not part of the closed host's
// interface.

#include <cstdint>
#include <vector>

#include "klx/api.h"

namespace klx {

// Part of an answer as it arrives on the line: wait `delay_ms` (counted from the previous chunk,
// or from the end of the command for the first), then these bytes.
struct TimedChunk {
  uint32_t delay_ms = 0;
  std::vector<uint8_t> bytes;
};

// Something in the same process that answers on the line like a power system would: the built-in
// simulator, or a test script. It is handed every byte the host writes and answers with what the
// line carries back (nothing at all for a silent line).
class KLX_API Peer {
 public:
  virtual ~Peer();
  // Called with each frame the host writes (one whole command frame, SOI to EOI).
  virtual std::vector<TimedChunk> respond(const std::vector<uint8_t>& written) = 0;
};

}  // namespace klx
