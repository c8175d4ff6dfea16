#include "scan_line.h"

#include <poll.h>

#include <algorithm>
#include <thread>

namespace klxscan {

using Clock = klx::Link::Clock;

ScanLine::ScanLine(std::unique_ptr<klx::Transport> transport, int baud, LineTiming timing)
    : link_(std::move(transport), baud) {
  link_.set_answer_timeout(timing.answer_timeout);
  link_.set_quiet_interval(timing.quiet);
  // Every address is asked once in turn: a failed one is no reason to hold the next one back
  // beyond the quiet interval.
  link_.set_backoff_limit(timing.quiet);
}

bool ScanLine::open(std::string& error, std::chrono::milliseconds connect_limit) {
  const auto give_up = Clock::now() + connect_limit;
  link_.set_time(Clock::now());
  while (!link_.open()) {
    if (!link_.transport().connecting() || Clock::now() >= give_up) {
      error = link_.last_error().empty() ? "cannot open" : link_.last_error();
      if (link_.transport().connecting()) error = "no connection within the time allowed";
      return false;
    }
    wait_until(link_.reconnect_due());
    link_.set_time(Clock::now());
  }
  return true;
}

void ScanLine::wait_until(Clock::time_point until) {
  until = std::min(until, link_.transport().next_due());
  const auto left = std::max(until - Clock::now(), Clock::duration::zero());
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
  const timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  pollfd p{link_.transport().fd(), POLLIN, 0};
  if (p.fd < 0) {
    std::this_thread::sleep_for(left);  // an in-process line: nothing to wait on but its clock
    return;
  }
  ppoll(&p, 1, &ts, nullptr);
}

// What comes while the line settles after a failed exchange is dropped by the link, and the
// quiet interval starts again with it.
void ScanLine::wait_ready() {
  uint8_t buf[512];
  for (;;) {
    link_.set_time(Clock::now());
    if (link_.read(buf, sizeof buf) < 0 || link_.ready(link_.now()) || !link_.is_open()) return;
    wait_until(link_.send_due());
  }
}

Reply ScanLine::ask(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2,
                    const std::vector<uint8_t>& data) {
  wait_ready();
  const std::string frame = klx::encode_frame(ver, adr, cid1, cid2, data.data(), data.size());
  parser_.reset();
  announced_ = false;
  parser_.expect_address(adr);
  parser_.expect_echo(frame);
  link_.set_time(Clock::now());
  if (!link_.send(reinterpret_cast<const uint8_t*>(frame.data()), frame.size())) {
    Reply r;
    r.kind = Reply::Kind::kLost;
    return r;
  }
  const uint64_t echoes = parser_.counters().echo_skipped;
  Reply r = await(cid1);
  // Our own command handed back by an adapter without echo suppression is not a device.
  const size_t echoed = (parser_.counters().echo_skipped - echoes) * frame.size();
  r.bytes = r.bytes > echoed ? r.bytes - echoed : 0;
  return r;
}

Reply ScanLine::await(uint8_t cid1) {
  Reply reply;
  for (;;) {
    const auto now = Clock::now();
    link_.set_time(now);
    bool done = false;
    if (!take_input(cid1, reply, done)) {
      reply.kind = Reply::Kind::kLost;
      link_.end_failed();
      return reply;
    }
    if (done) return reply;
    if (link_.timed_out(link_.now())) {
      link_.note_timeout();
      link_.end_failed();
      parser_.reset();
      reply.kind = Reply::Kind::kTimeout;
      return reply;
    }
    wait_until(link_.deadline());
  }
}

// Feeds what has arrived to the parser; `done` once the exchange has ended. False when the line
// was lost.
bool ScanLine::take_input(uint8_t cid1, Reply& reply, bool& done) {
  uint8_t buf[512];
  for (;;) {
    const long n = link_.read(buf, sizeof buf);
    if (n < 0) return false;
    if (n == 0) return true;
    reply.bytes += static_cast<size_t>(n);
    parser_.feed(buf, static_cast<size_t>(n), [&](const klx::Frame* f, klx::FrameError e) {
      if (done || e == klx::FrameError::kWrongAddress) return;  // another device's, or late
      if (f && f->cid1 != cid1) return;                         // a late answer of another group
      done = true;
      if (f) {
        reply.kind = Reply::Kind::kAnswer;
        reply.frame = *f;
        link_.end_exchange();
      } else {
        reply.kind = Reply::Kind::kBadFrame;
        reply.error = e;
        link_.end_failed();
      }
    });
    if (done) return true;
    const size_t chars = parser_.expected_chars();
    if (chars > 0 && !announced_) link_.answer_announced(chars);
    announced_ = chars > 0;
    link_.set_in_frame(parser_.state() != klx::FrameParser::State::kHunt);
  }
}

}  // namespace klxscan
