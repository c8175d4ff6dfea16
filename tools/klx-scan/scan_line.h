#pragma once

// One line under scan: a command out, its answer (or its time-out) back, with klx-host's line
// discipline: the Link's answer deadline and inter-character time-out, a quiet interval after a
// failed exchange, the host's frame parser with its echo and address checks.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "klx/frame.h"
#include "klx/link.h"

namespace klxscan {

struct Reply {
  enum class Kind { kAnswer, kTimeout, kBadFrame, kLost };
  Kind kind = Kind::kTimeout;
  klx::Frame frame;                                // kAnswer
  klx::FrameError error = klx::FrameError::kNone;  // kBadFrame
  size_t bytes = 0;  // what came back during the exchange, not counting an echo
};

struct LineTiming {
  std::chrono::milliseconds answer_timeout{200};
  std::chrono::milliseconds quiet{50};
};

// One exchange at a time: what probing an address needs of a line. The scan's line is ScanLine;
// the fuzz target scripts the replies.
class Exchanger {
 public:
  virtual ~Exchanger() = default;
  virtual Reply ask(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2,
                    const std::vector<uint8_t>& data = {}) = 0;
};

class ScanLine : public Exchanger {
 public:
  ScanLine(std::unique_ptr<klx::Transport> transport, int baud, LineTiming timing);

  // Opens the line (a TCP connect is waited for up to `connect_limit`); false with the reason.
  bool open(std::string& error, std::chrono::milliseconds connect_limit);
  // One exchange: waits for the line to be quiet, sends, and waits for the answer of group
  // `cid1` from `adr` (frames of another address or group are skipped, as klx-host skips them).
  Reply ask(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2,
            const std::vector<uint8_t>& data = {}) override;
  std::string describe() { return link_.transport().describe(); }
  const klx::FrameCounters& frame_counters() const { return parser_.counters(); }

 private:
  void wait_ready();
  Reply await(uint8_t cid1);
  bool take_input(uint8_t cid1, Reply& reply, bool& done);
  // Waits for input or `until`, whichever comes first.
  void wait_until(klx::Link::Clock::time_point until);

  klx::Link link_;
  klx::FrameParser parser_;
  bool announced_ = false;  // the answer's header is in and its deadline extended
};

}  // namespace klxscan
