#pragma once

// Line health of one device: over a sliding window (10 minutes by default), the share of its
// exchanges that timed out or whose answer was rejected (checksum, length, address), the share
// echoed by the line, and the median answer time. The error share raises host events of its own
// ("line degrading" above 2 %, "line failing" above 20 %, each measured over a whole window) and
// clears them with hysteresis (below half the threshold). Time is passed in, so a test moves it.

#include <json/value.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "klx/frame.h"
#include "klx/store.h"

namespace klxhost {

// Host events live in a key space of the host's own, apart from the plug-in's numeric alarm
// identifiers.
constexpr const char* kHostKeyPrefix = "host.";
constexpr const char* kLineDegradingKey = "host.line.degrading";
constexpr const char* kLineFailingKey = "host.line.failing";
bool is_host_key(const std::string& key);

struct LineHealthSettings {
  std::chrono::seconds window{600};
  double degrading = 0.02;  // error share above which the line is degrading
  double failing = 0.20;    // ... failing
  double clear_factor =
      0.5;  // an event clears once the share falls below this part of its threshold
  unsigned min_exchanges = 20;  // fewer in a window decide nothing
};

// {"window_s": 600, "degrading": 0.02, "failing": 0.2} ("_" keys are notes); false with the
// member at fault and why in `error`.
bool read_line_health(const Json::Value& v, LineHealthSettings& out, std::string& error);

enum class ExchangeResult { kAnswer, kTimeout, kRejected };

// The counters a device's exchanges move: its parser's and its time-outs.
struct ExchangeCounts {
  klx::FrameCounters frames;
  uint64_t timeouts = 0;
};
// How the exchange between two readings of the counters ended: timed out, a frame rejected
// (damaged, cut off, or another address's while the answer was awaited, even when a good answer
// followed), or answered; `echoed` when the line handed the command back.
ExchangeResult classify_exchange(const ExchangeCounts& before, const ExchangeCounts& after,
                                 bool answered, bool& echoed);

struct LineHealthView {
  uint64_t exchanges = 0;  // in the window
  double error_ratio = 0;  // timed out or rejected
  double timeout_ratio = 0;
  double rejected_ratio = 0;
  double echo_ratio = 0;
  double median_latency_s = -1;  // negative: no answer in the window
  bool degrading = false;
  bool failing = false;
};

class LineHealth {
 public:
  using Clock = std::chrono::steady_clock;

  explicit LineHealth(LineHealthSettings s = {}) : s_(s) {}
  void configure(const LineHealthSettings& s) { s_ = s; }

  // One exchange ended at `now`; `latency_s` is the time from the command to its answer
  // (negative when none came).
  void record(Clock::time_point now, ExchangeResult r, bool echoed, double latency_s);
  // The events raised or cleared by the window as it stands at `now`.
  std::vector<klx::AlarmTransition> evaluate(Clock::time_point now);
  LineHealthView view(Clock::time_point now) const;
  // An event active when the host last stopped: active again, cleared by the first window that
  // no longer shows it.
  void restore(const std::string& key);

 private:
  struct Entry {
    Clock::time_point at;
    ExchangeResult result;
    bool echoed;
    float latency_s;
  };
  struct Level {
    const char* key;
    const char* name;
    double LineHealthSettings::*threshold;
    bool active = false;
  };
  void prune(Clock::time_point now);
  klx::AlarmTransition transition(const Level& l, bool raised, const LineHealthView& v) const;

  LineHealthSettings s_;
  std::deque<Entry> entries_;
  Clock::time_point first_{};
  bool started_ = false;
  Level levels_[2] = {{kLineDegradingKey, "line degrading", &LineHealthSettings::degrading},
                      {kLineFailingKey, "line failing", &LineHealthSettings::failing}};
};

}  // namespace klxhost
