#pragma once

// One line and the exchange in progress on it (the bus is half duplex: one command outstanding at
// a time, whichever device sent it); it ends with its answer, a bad frame or its time-out.
//
// Line discipline, at the line's speed:
// - answer deadline: the answer time-out plus the command's wire time; once an answer's header
//   is in, at least the wire time of the characters it announces plus the answer time-out;
// - inter-character time-out: a frame in progress that brings no character for max(20 character
//   times, 50 ms) ends the exchange at once;
// - after a failed exchange (time-out, bad frame) no command goes out until no byte has come for
//   the quiet interval (0.5 s), at most 4 quiet intervals in all; what comes meanwhile is dropped;
// - after consecutive failed exchanges the next command waits quiet x 2^(n-1), at most the
//   back-off limit (the round interval); a good answer resets it.
//
// Time: the owner passes it in (set_time, maintain); until it does, the link reads the steady
// clock itself.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "klx/api.h"
#include "klx/transport.h"

namespace klx {

struct LinkCounters {
  uint64_t commands = 0;
  uint64_t timeouts = 0;
  uint64_t stalls = 0;      // answers that stopped mid-frame for the inter-character time-out
  uint64_t discarded = 0;   // bytes dropped while the line settled after a failed exchange
  uint64_t lost = 0;        // the line dropped (read or write failed)
  uint64_t reconnects = 0;  // successful opens after a loss or a failed open
};

class KLX_API Link {
 public:
  using Clock = SteadyClock;

  explicit Link(std::unique_ptr<Transport> transport, int baud = 9600);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Tries once; on failure the next try waits for the back-off (last_error() says why).
  bool open();
  void close();
  bool is_open() const;
  // Reopens a line that is closed once its back-off is over.
  void maintain(Clock::time_point now);
  Clock::time_point reconnect_due() const { return reconnect_due_; }
  const std::string& last_error() const { return last_error_; }

  // The time the link's operations take as now, from here on (and the in-process line's).
  void set_time(Clock::time_point now);
  Clock::time_point now() const { return manual_time_ ? now_ : Clock::now(); }

  // Writes one frame on behalf of `owner` (the device) and starts waiting for its answer.
  bool send(const uint8_t* frame, size_t n, const void* owner = nullptr);
  // A command waits for its answer (its time may have run out).
  bool awaiting() const { return awaiting_; }
  // Who sent the command awaiting its answer (null when none waits).
  const void* owner() const { return awaiting_ ? owner_ : nullptr; }
  // A command waits and its time has not run out.
  bool busy(Clock::time_point now) const { return awaiting_ && now < deadline(); }
  bool timed_out(Clock::time_point now) const { return awaiting_ && now >= deadline(); }
  // When the exchange in progress runs out: its deadline, or sooner when a frame stalls.
  Clock::time_point deadline() const;
  // A command may go out now: the line is open, nothing awaits, the line is quiet and any
  // back-off is over.
  bool ready(Clock::time_point now) const;
  // When the next command may go out, as far as quiet and back-off are concerned.
  Clock::time_point send_due() const;

  // An answer's header is in and announces a frame of `frame_chars` characters, SOI to EOI.
  void answer_announced(size_t frame_chars);
  // A frame is (true) or is no longer (false) partly received.
  void set_in_frame(bool in_frame) { in_frame_ = in_frame; }
  bool stalled(Clock::time_point now) const;
  // The exchange is over with a good answer (resets the back-off) ...
  void end_exchange();
  // ... or with an answer refused by its RTN (counts towards the back-off) ...
  void end_refused();
  // ... or failed: time-out, stall, bad frame. The line settles before the next command.
  void end_failed();
  void note_timeout() { ++counters_.timeouts; }
  unsigned consecutive_failures() const { return failures_; }

  // Drops what has arrived (no exchange awaits it); false when the line was lost.
  bool discard_input();

  // Closes a line that is known to be gone (a hang-up); it is reopened after the back-off.
  void drop(const std::string& why) { lost(why); }

  // Reads what has arrived; -1 when the line was lost (it is closed then, and reopened by
  // maintain() after the back-off).
  long read(uint8_t* buf, size_t cap);

  // Answer time-out, not counting the command's own time on the wire.
  void set_answer_timeout(std::chrono::milliseconds t) { answer_timeout_ = t; }
  std::chrono::milliseconds answer_timeout() const { return answer_timeout_; }
  // Inter-character time-out; zero: 20 character times, at least 50 ms.
  void set_inter_char_timeout(std::chrono::milliseconds t) { inter_char_ = t; }
  std::chrono::microseconds inter_char_timeout() const;
  void set_quiet_interval(std::chrono::milliseconds t) { quiet_ = t; }
  std::chrono::milliseconds quiet_interval() const { return quiet_; }
  void set_backoff_limit(std::chrono::milliseconds t) { backoff_limit_ = t; }
  // The hold after the n-th failed exchange in a row: quiet x 2^(n-1), at most the limit.
  std::chrono::milliseconds backoff(unsigned failures) const;
  void set_baud(int baud) { baud_ = baud > 0 ? baud : 9600; }
  // Time `chars` characters take on the line: 10 bits each (start, 8 data, stop).
  std::chrono::microseconds wire_time(size_t chars) const;

  Transport& transport() { return *transport_; }
  const LinkCounters& counters() const { return counters_; }
  // When the last command's first byte went out and the last input arrived.
  Clock::time_point last_write() const { return last_write_; }
  Clock::time_point last_input() const { return last_input_; }

 private:
  void lost(const std::string& why);
  void schedule_retry(Clock::time_point now);
  void count_failure();
  long drain(uint8_t* buf, size_t cap);

  std::unique_ptr<Transport> transport_;
  int baud_;
  std::chrono::milliseconds answer_timeout_{1000};
  std::chrono::milliseconds inter_char_{0};
  std::chrono::milliseconds quiet_{500};
  std::chrono::milliseconds backoff_limit_{2000};
  bool manual_time_ = false;
  Clock::time_point now_{};
  bool awaiting_ = false;
  const void* owner_ = nullptr;
  Clock::time_point deadline_{};
  bool in_frame_ = false;
  bool settling_ = false;  // after a failed exchange, until the line is quiet
  Clock::time_point settle_start_{};
  Clock::time_point quiet_since_{};
  unsigned failures_ = 0;  // consecutive failed exchanges
  Clock::time_point backoff_until_{};
  Clock::time_point reconnect_due_ = Clock::time_point::max();
  std::chrono::milliseconds backoff_{0};
  bool was_lost_ = false;
  std::string last_error_;
  LinkCounters counters_;
  Clock::time_point last_write_{};
  Clock::time_point last_input_{};
};

}  // namespace klx
