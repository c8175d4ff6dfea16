#include "klx/link.h"

#include <algorithm>

namespace klx {
namespace {
// Reconnect back-off: doubles from the first value up to the last.
constexpr std::chrono::milliseconds kFirstBackoff{500};
constexpr std::chrono::milliseconds kMaxBackoff{30000};
}  // namespace

Transport::~Transport() = default;

Link::Link(std::unique_ptr<Transport> transport, int baud)
    : transport_(std::move(transport)), baud_(baud > 0 ? baud : 9600) {}

Link::~Link() { close(); }

bool Link::open() {
  if (transport_->is_open()) return true;
  std::string error;
  if (!transport_->open(error)) {
    last_error_ = error;
    schedule_retry(Clock::now());
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
  transport_->close();
  reconnect_due_ = Clock::time_point::max();
}

bool Link::is_open() const { return transport_->is_open(); }

void Link::maintain(Clock::time_point now) {
  if (!transport_->is_open() && now >= reconnect_due_) open();
}

bool Link::send(const uint8_t* frame, size_t n) {
  if (!transport_->is_open()) return false;
  const auto now = Clock::now();
  if (!transport_->write(frame, n)) {
    lost("write failed");
    return false;
  }
  ++counters_.commands;
  last_write_ = now;
  awaiting_ = true;
  deadline_ = now + answer_timeout_ + wire_time(n);
  return true;
}

long Link::read(uint8_t* buf, size_t cap) {
  if (!transport_->is_open()) return 0;
  const long got = transport_->read(buf, cap);
  if (got < 0) {
    lost("line lost");
    return -1;
  }
  if (got > 0) last_input_ = Clock::now();
  return got;
}

std::chrono::microseconds Link::wire_time(size_t chars) const {
  return std::chrono::microseconds(static_cast<long long>(chars) * 10 * 1000000 / baud_);
}

// The exchange in progress keeps its deadline: the caller sees it run out and reports it.
void Link::lost(const std::string& why) {
  ++counters_.lost;
  last_error_ = why;
  transport_->close();
  was_lost_ = true;
  schedule_retry(Clock::now());
}

void Link::schedule_retry(Clock::time_point now) {
  was_lost_ = true;
  backoff_ = backoff_.count() == 0 ? kFirstBackoff : std::min(backoff_ * 2, kMaxBackoff);
  reconnect_due_ = now + backoff_;
}

}  // namespace klx
