#include "klx/link.h"

#include <algorithm>

namespace klx {
namespace {
// Reconnect back-off: doubles from the first value up to the last.
constexpr std::chrono::milliseconds kFirstBackoff{500};
constexpr std::chrono::milliseconds kMaxBackoff{30000};
// How often an open in progress (a TCP connect) is looked at again.
constexpr std::chrono::milliseconds kOpeningPoll{10};
// Inter-character time-out when none is configured: this many character times, at least the
// floor (a USB adapter or a device server may hold bytes back for some milliseconds).
constexpr size_t kInterCharChars = 20;
constexpr std::chrono::milliseconds kInterCharFloor{50};
// A line that never falls quiet is waited for at most this many quiet intervals.
constexpr int kQuietLimit = 4;
}  // namespace

Transport::~Transport() = default;

Link::Link(std::unique_ptr<Transport> transport, int baud)
    : transport_(std::move(transport)), baud_(baud > 0 ? baud : 9600) {}

Link::~Link() { close(); }

void Link::set_time(Clock::time_point now) {
  manual_time_ = true;
  now_ = now;
  transport_->set_time(now);
}

bool Link::open() {
  if (transport_->is_open()) return true;
  std::string error;
  if (!transport_->open(error)) {
    last_error_ = error;
    if (transport_->connecting())
      reconnect_due_ = now() + kOpeningPoll;
    else
      schedule_retry(now());
    return false;
  }
  if (was_lost_) ++counters_.reconnects;
  was_lost_ = false;
  backoff_ = std::chrono::milliseconds{0};
  reconnect_due_ = Clock::time_point::max();
  last_error_.clear();
  return true;
}

void Link::close() {
  awaiting_ = false;
  in_frame_ = false;
  transport_->close();
  reconnect_due_ = Clock::time_point::max();
}

bool Link::is_open() const { return transport_->is_open(); }

void Link::maintain(Clock::time_point now) {
  set_time(now);
  if (!transport_->is_open() && now >= reconnect_due_) open();
}

bool Link::send(const uint8_t* frame, size_t n, const void* owner) {
  if (!transport_->is_open()) return false;
  const auto t = now();
  if (!transport_->write(frame, n)) {
    lost("write failed");
    return false;
  }
  ++counters_.commands;
  last_write_ = t;
  awaiting_ = true;
  owner_ = owner;
  in_frame_ = false;
  settling_ = false;
  deadline_ = t + answer_timeout_ + wire_time(n);
  return true;
}

Link::Clock::time_point Link::deadline() const {
  if (!in_frame_) return deadline_;
  return std::min(deadline_, last_input_ + inter_char_timeout());
}

bool Link::stalled(Clock::time_point now) const {
  return awaiting_ && in_frame_ && now >= last_input_ + inter_char_timeout() && now < deadline_;
}

std::chrono::microseconds Link::inter_char_timeout() const {
  if (inter_char_.count() > 0) return inter_char_;
  return std::max<std::chrono::microseconds>(wire_time(kInterCharChars), kInterCharFloor);
}

// Counted from now, as if the whole frame were still to come: a header's worth too generous.
void Link::answer_announced(size_t frame_chars) {
  if (!awaiting_) return;
  deadline_ = std::max(deadline_, now() + wire_time(frame_chars) + answer_timeout_);
}

Link::Clock::time_point Link::send_due() const {
  auto due = backoff_until_;
  if (settling_)
    due = std::max(due, std::min(quiet_since_ + quiet_, settle_start_ + kQuietLimit * quiet_));
  return due;
}

bool Link::ready(Clock::time_point now) const {
  return transport_->is_open() && !awaiting_ && now >= send_due();
}

void Link::end_exchange() {
  awaiting_ = false;
  in_frame_ = false;
  failures_ = 0;
  backoff_until_ = Clock::time_point{};
}

void Link::end_refused() {
  awaiting_ = false;
  in_frame_ = false;
  count_failure();
}

void Link::end_failed() {
  if (stalled(now())) ++counters_.stalls;
  awaiting_ = false;
  in_frame_ = false;
  settling_ = true;
  settle_start_ = quiet_since_ = now();
  count_failure();
}

std::chrono::milliseconds Link::backoff(unsigned failures) const {
  auto hold = quiet_;
  for (unsigned i = 1; i < failures && hold < backoff_limit_; ++i) hold *= 2;
  return std::min(hold, backoff_limit_);
}

void Link::count_failure() {
  ++failures_;
  backoff_until_ = now() + backoff(failures_);
}

long Link::read(uint8_t* buf, size_t cap) {
  if (!transport_->is_open()) return 0;
  if (settling_ && now() >= send_due()) settling_ = false;
  if (settling_) return drain(buf, cap);
  const long got = transport_->read(buf, cap);
  if (got < 0) {
    lost("line lost");
    return -1;
  }
  if (got > 0) last_input_ = now();
  return got;
}

// While the line settles, what arrives is the tail of a failed exchange: dropped, and the quiet
// interval starts again.
long Link::drain(uint8_t* buf, size_t cap) {
  for (;;) {
    const long got = transport_->read(buf, cap);
    if (got < 0) {
      lost("line lost");
      return -1;
    }
    if (got == 0) return 0;
    counters_.discarded += static_cast<uint64_t>(got);
    last_input_ = quiet_since_ = now();
    if (static_cast<size_t>(got) < cap) return 0;
  }
}

bool Link::discard_input() {
  uint8_t buf[512];
  for (;;) {
    const long got = read(buf, sizeof buf);
    if (got < 0) return false;
    if (got == 0) return true;
    if (!settling_) counters_.discarded += static_cast<uint64_t>(got);
    if (static_cast<size_t>(got) < sizeof buf) return true;
  }
}

std::chrono::microseconds Link::wire_time(size_t chars) const {
  return std::chrono::microseconds(static_cast<long long>(chars) * 10 * 1000000 / baud_);
}

// The exchange in progress keeps its deadline: the caller sees it run out and reports it.
void Link::lost(const std::string& why) {
  ++counters_.lost;
  last_error_ = why;
  transport_->close();
  in_frame_ = false;
  was_lost_ = true;
  schedule_retry(now());
}

void Link::schedule_retry(Clock::time_point now) {
  was_lost_ = true;
  backoff_ = backoff_.count() == 0 ? kFirstBackoff : std::min(backoff_ * 2, kMaxBackoff);
  reconnect_due_ = now + backoff_;
}

}  // namespace klx
