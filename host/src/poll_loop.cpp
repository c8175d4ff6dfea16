#include "klx/poll_loop.h"

#include <algorithm>

#include "klx/pmbus_protocol.h"

namespace klx {
namespace {
// Reads per pass and line: an in-process line answers at once, so a whole round may run in one
// pass; a real line runs dry after a read or two.
constexpr int kReadsPerPass = 64;
}  // namespace

PollObserver::~PollObserver() = default;
void PollObserver::round_completed(size_t, unsigned, SteadyClock::time_point) {}
void PollObserver::line_changed(size_t, bool) {}
void PollObserver::loop_pass(SteadyClock::time_point) {}

PollLoop::PollLoop(Clock::time_point start)
    : start_(start), next_tick_(start), next_reset_(start + kResetEvery) {}

PollLoop::~PollLoop() = default;

size_t PollLoop::add_line(std::unique_ptr<Link> link) {
  Line l;
  l.said_down = !link->is_open() && !link->transport().connecting();
  l.link = std::move(link);
  lines_.push_back(std::move(l));
  return lines_.size() - 1;
}

// A round the device ended before it joined (a record restored from the cache) is not counted.
size_t PollLoop::add_device(size_t line, PMBusProtocol* device) {
  device->round_flag_ = 0;
  devices_.push_back({device, line, 0, start_, 0, 0, 0, {}});
  lines_[line].devices.push_back(devices_.size() - 1);
  return devices_.size() - 1;
}

void PollLoop::pass(Clock::time_point now) {
  for (size_t i = 0; i < lines_.size(); ++i) service(i, now);
  if (now >= next_tick_) {
    for (auto& l : lines_) offer(l);
    // An in-process line has the answer to what was just sent already.
    for (auto& l : lines_)
      if (l.link->awaiting() && l.link->transport().fd() < 0 && read_input(l)) count_rounds(l, now);
    next_tick_ = now + kTick;
  }
  if (now >= next_reset_) {
    for (auto& d : devices_) d.dev->Reset();
    next_reset_ = now + kResetEvery;
  }
  if (observer_) observer_->loop_pass(now);
}

void PollLoop::service_device(size_t device, Clock::time_point now) {
  service(devices_[device].line, now);
}

// Input first, so that an answer that came in time is never taken for a time-out.
void PollLoop::service(size_t index, Clock::time_point now) {
  Line& l = lines_[index];
  l.link->maintain(now);
  if (l.link->is_open() && l.said_down) {
    l.said_down = false;
    if (observer_) observer_->line_changed(index, true);
  }
  if (l.link->is_open()) read_input(l);
  if (l.devices.empty()) return;
  if (l.link->awaiting()) devices_[l.devices[l.speaker]].dev->service_timeout();
  note_outcome(l, now);
  // A round the last bytes before a loss completed is told before the loss.
  count_rounds(l, now);
  if (!l.link->is_open() && !l.said_down) {
    l.said_down = true;
    if (observer_) observer_->line_changed(index, false);
  }
}

// Input goes to the device whose exchange awaits it; with none waiting, to the one that spoke
// last, which drops it as unsolicited. True when anything came.
bool PollLoop::read_input(Line& l) {
  bool any = false;
  if (l.devices.empty()) return false;
  for (int i = 0; i < kReadsPerPass && l.link->is_open(); ++i) {
    if (const void* owner = l.link->owner())
      for (size_t pos = 0; pos < l.devices.size(); ++pos)
        if (devices_[l.devices[pos]].dev == owner) l.speaker = pos;
    if (devices_[l.devices[l.speaker]].dev->service_input() <= 0) break;
    any = true;
  }
  return any;
}

// The line goes to the first device, from its turn on, that starts an exchange.
void PollLoop::offer(Line& l) {
  if (!l.link->ready(l.link->now())) return;
  const size_t n = l.devices.size();
  for (size_t k = 0; k < n; ++k) {
    const size_t pos = (l.turn + k) % n;
    const Device& d = devices_[l.devices[pos]];
    if (done(d) || l.link->now() < d.hold) continue;
    d.dev->RefreshStatus();
    if (!l.link->awaiting()) continue;
    l.speaker = pos;
    l.turn = (pos + 1) % n;
    return;
  }
}

// Only the device that spoke can have ended a round.
void PollLoop::count_rounds(Line& l, Clock::time_point now) {
  if (l.devices.empty()) return;
  const size_t index = l.devices[l.speaker];
  Device& d = devices_[index];
  if (!d.dev->round_flag_) return;
  d.dev->round_flag_ = 0;
  ++d.rounds;
  if (observer_) observer_->round_completed(index, d.rounds, now);
  d.progress = now;
}

// The speaker's failed exchanges in a row hold it back; a good answer frees it.
void PollLoop::note_outcome(Line& l, Clock::time_point now) {
  if (l.devices.empty()) return;
  Device& d = devices_[l.devices[l.speaker]];
  const auto& c = d.dev->protocol_counters();
  const uint64_t failed = c.timeouts + c.bad_frames + c.rtn_errors;
  if (c.answers != d.answers_seen) d.failures = 0, d.hold = {};
  if (failed != d.failed_seen) d.hold = now + l.link->backoff(++d.failures);
  d.answers_seen = c.answers;
  d.failed_seen = failed;
}

PollLoop::Clock::time_point PollLoop::next_due() const {
  auto due = std::min(next_tick_, next_reset_);
  for (const auto& l : lines_) {
    if (l.link->awaiting()) due = std::min(due, l.link->deadline());
    due = std::min(due, l.link->transport().next_due());
    if (!l.link->is_open()) due = std::min(due, l.link->reconnect_due());
  }
  return due;
}

void PollLoop::descriptors(std::vector<int>& fds) const {
  fds.clear();
  for (const auto& l : lines_)
    if (l.link->is_open() && l.link->transport().fd() >= 0) fds.push_back(l.link->transport().fd());
}

void PollLoop::hang_up(int fd) {
  for (auto& l : lines_)
    if (l.link->is_open() && l.link->transport().fd() == fd) l.link->drop("hang-up");
}

bool PollLoop::all_done() const {
  return std::all_of(devices_.begin(), devices_.end(), [this](const Device& d) { return done(d); });
}

}  // namespace klx
