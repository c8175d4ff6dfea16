#include "line_server.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>

#include "klx/frame.h"

namespace {

// A command frame is short; anything longer without an EOI is noise and is dropped.
constexpr size_t kMaxCommandChars = 8192;

std::string printable(const std::vector<uint8_t>& bytes) {
  std::string s;
  for (uint8_t b : bytes) {
    if (b >= 0x20 && b < 0x7F) {
      s += static_cast<char>(b);
    } else {
      static const char hex[] = "0123456789ABCDEF";
      s += "\\x";
      s += hex[b >> 4];
      s += hex[b & 0x0F];
    }
  }
  return s;
}

}  // namespace

bool write_all(int fd, const uint8_t* bytes, size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, bytes, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    bytes += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

void LineServer::take(const uint8_t* bytes, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const uint8_t b = bytes[i];
    if (b == klx::kFrameSoi) frame_.clear(), in_frame_ = true;
    if (!in_frame_) continue;
    frame_.push_back(b);
    if (b == klx::kFrameEoi) {
      in_frame_ = false;
      answer(frame_);
    } else if (frame_.size() > kMaxCommandChars) {
      in_frame_ = false;
      frame_.clear();
    }
  }
}

// Chunks follow one another: each waits its delay after the previous one went out.
void LineServer::answer(const std::vector<uint8_t>& frame) {
  const auto chunks = peer_.respond(frame);
  if (!chunks.empty()) ++answered_;
  if (verbose_) std::cerr << "< " << printable(frame) << "\n";
  Clock::time_point at = out_.empty() ? Clock::now() : std::max(Clock::now(), out_.back().due);
  for (const auto& c : chunks) {
    at += std::chrono::milliseconds(c.delay_ms);
    out_.push_back({at, c.bytes});
    if (verbose_) std::cerr << "> +" << c.delay_ms << " ms " << printable(c.bytes) << "\n";
  }
  if (verbose_ && chunks.empty()) std::cerr << "> (no answer)\n";
}

bool LineServer::flush_due(int fd) {
  while (!out_.empty() && out_.front().due <= Clock::now()) {
    const auto& p = out_.front();
    if (!write_all(fd, p.bytes.data(), p.bytes.size())) return false;
    out_.pop_front();
  }
  return true;
}

int LineServer::wait_ms() const {
  if (out_.empty()) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(out_.front().due - Clock::now());
  return static_cast<int>(std::max<long long>(0, left.count()));
}

LineServer::End LineServer::serve(int fd, const volatile sig_atomic_t& stop) {
  frame_.clear();
  in_frame_ = false;
  out_.clear();
  answered_ = 0;
  sigset_t unblocked;
  sigemptyset(&unblocked);
  uint8_t buf[4096];
  while (!stop) {
    if (!flush_due(fd)) return End::Closed;
    if (drop_after_ && answered_ >= drop_after_ && out_.empty()) return End::Dropped;
    pollfd p{fd, POLLIN, 0};
    const int ms = wait_ms();
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    const int r = ::ppoll(&p, 1, ms < 0 ? nullptr : &ts, &unblocked);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return End::Closed;
    if (r == 0) continue;
    if (p.revents & POLLIN) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) return End::Closed;
      take(buf, static_cast<size_t>(n));
    } else if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) {
      return End::Closed;
    }
  }
  return End::Stopped;
}
