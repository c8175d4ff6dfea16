#pragma once

// The serial side of a device: its line and the exchange in progress on it. One command is
// outstanding at a time; it ends with its answer, a bad frame or its time-out.

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

  // Writes one frame and starts waiting for its answer.
  bool send(const uint8_t* frame, size_t n);
  // A command waits for its answer (its time may have run out).
  bool awaiting() const { return awaiting_; }
  // A command waits and its time has not run out.
  bool busy(Clock::time_point now) const { return awaiting_ && now < deadline_; }
  bool timed_out(Clock::time_point now) const { return awaiting_ && now >= deadline_; }
  Clock::time_point deadline() const { return deadline_; }
  // The exchange is over (answer, bad frame or time-out).
  void end_exchange() { awaiting_ = false; }
  void note_timeout() { ++counters_.timeouts; }

  // Closes a line that is known to be gone (a hang-up); it is reopened after the back-off.
  void drop(const std::string& why) { lost(why); }

  // Reads what has arrived; -1 when the line was lost (it is closed then, and reopened by
  // maintain() after the back-off).
  long read(uint8_t* buf, size_t cap);

  // Answer time-out, not counting the command's own time on the wire.
  void set_answer_timeout(std::chrono::milliseconds t) { answer_timeout_ = t; }
  std::chrono::milliseconds answer_timeout() const { return answer_timeout_; }
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

  std::unique_ptr<Transport> transport_;
  int baud_;
  std::chrono::milliseconds answer_timeout_{1000};
  bool awaiting_ = false;
  Clock::time_point deadline_{};
  Clock::time_point reconnect_due_ = Clock::time_point::max();
  std::chrono::milliseconds backoff_{0};
  bool was_lost_ = false;
  std::string last_error_;
  LinkCounters counters_;
  Clock::time_point last_write_{};
  Clock::time_point last_input_{};
};

}  // namespace klx
