#pragma once

// The host's poll loop: lines, the devices on each, and everything that happens between them on
// the monotonic time the caller passes in. The runner (klx-host), the in-process reliability
// tests and the benchmarks all drive this one class; they only differ in where time comes from
// and how they wait for the next pass.
//
// Per pass: each line is reopened when due and its input handed to the device whose exchange
// awaits it (nothing awaits: to the device that spoke last, which counts it as unsolicited);
// an exchange out of time ends through that device; completed rounds are counted. Every tick
// (100 ms) each line is offered to its devices in turn: the first that may start a round takes
// the line until its exchange chain ends, and the next device is asked first next time. A device
// whose exchanges fail is held back (the link's back-off, per device), so that on a shared line
// a dead device costs the others no more than its own time-outs. Reset every 10 s. Nothing here
// blocks.

#include <chrono>
#include <cstddef>
#include <memory>
#include <vector>

#include "klx/api.h"
#include "klx/link.h"

class PMBusProtocol;

namespace klx {

// What the loop tells its driver; every call returns at once.
class KLX_API PollObserver {
 public:
  virtual ~PollObserver();
  // `device` (the index add_device gave) completed its `round`-th round.
  virtual void round_completed(size_t device, unsigned round, SteadyClock::time_point now);
  // A line opened again (up) or was lost or failed to open (down); `device` is its first device.
  virtual void line_changed(size_t line, bool up);
  // Every pass.
  virtual void loop_pass(SteadyClock::time_point now);
};

class KLX_API PollLoop {
 public:
  using Clock = SteadyClock;
  static constexpr std::chrono::milliseconds kTick{100};
  static constexpr std::chrono::milliseconds kResetEvery{10000};

  explicit PollLoop(Clock::time_point start);
  ~PollLoop();
  PollLoop(const PollLoop&) = delete;
  PollLoop& operator=(const PollLoop&) = delete;

  // A line, owned by the loop from now on; its index.
  size_t add_line(std::unique_ptr<Link> link);
  // A device on `line` (owned by the caller, who set its link); its index.
  size_t add_device(size_t line, PMBusProtocol* device);
  void set_observer(PollObserver* observer) { observer_ = observer; }
  // With a limit, a device that has completed this many rounds is offered no more.
  void set_round_limit(unsigned rounds) { round_limit_ = rounds; }

  // One pass of the loop at `now`.
  void pass(Clock::time_point now);
  // Services one device's line only (a request after the rounds waits for its answer).
  void service_device(size_t device, Clock::time_point now);
  // When the loop has something to do next without input: a tick, Reset, an answer's deadline,
  // an in-process line's data, a reopen, a line becoming free to send.
  Clock::time_point next_due() const;
  // Descriptors to wait on for input, one per open line (-1 for in-process lines is left out).
  void descriptors(std::vector<int>& fds) const;
  // A descriptor that hung up: its line is dropped and reopened after the back-off.
  void hang_up(int fd);

  size_t device_count() const { return devices_.size(); }
  size_t line_count() const { return lines_.size(); }
  Link& line(size_t index) { return *lines_[index].link; }
  Link& line_of(size_t device) { return *lines_[devices_[device].line].link; }
  size_t line_index(size_t device) const { return devices_[device].line; }
  unsigned rounds(size_t device) const { return devices_[device].rounds; }
  Clock::time_point last_progress(size_t device) const { return devices_[device].progress; }
  // Every device has completed the round limit.
  bool all_done() const;

 private:
  struct Device {
    PMBusProtocol* dev;
    size_t line;
    unsigned rounds = 0;
    Clock::time_point progress;
    unsigned failures = 0;  // failed exchanges in a row
    uint64_t failed_seen = 0, answers_seen = 0;
    Clock::time_point hold{};  // not offered the line before
  };
  struct Line {
    std::unique_ptr<Link> link;
    std::vector<size_t> devices;
    size_t turn = 0;     // position in `devices` asked first at the next tick
    size_t speaker = 0;  // position of the device that sent the last command
    bool said_down = false;
  };

  void service(size_t line, Clock::time_point now);
  bool read_input(Line& l);
  void offer(Line& l);
  void count_rounds(Line& l, Clock::time_point now);
  void note_outcome(Line& l, Clock::time_point now);
  bool done(const Device& d) const { return round_limit_ && d.rounds >= round_limit_; }

  std::vector<Line> lines_;
  std::vector<Device> devices_;
  PollObserver* observer_ = nullptr;
  unsigned round_limit_ = 0;
  Clock::time_point start_;
  Clock::time_point next_tick_;
  Clock::time_point next_reset_;
};

}  // namespace klx
