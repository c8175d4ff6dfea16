#include "line_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>

#include "klx/frame.h"
#include "klx/hex.h"

namespace {

using Clock = Session::Clock;

// A command frame is short; anything longer without an EOI is noise and is dropped.
constexpr size_t kMaxCommandChars = 8192;

std::string printable(const std::vector<uint8_t>& bytes) {
  std::string s;
  for (uint8_t b : bytes) {
    if (b >= 0x20 && b < 0x7F) {
      s += static_cast<char>(b);
    } else {
      s += "\\x";
      klx::append_hex(s, &b, 1, true);
    }
  }
  return s;
}

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// ppoll with SIGINT and SIGTERM let through for the wait only; `until` max() waits without end.
int wait_for(std::vector<pollfd>& fds, Clock::time_point until) {
  sigset_t unblocked;
  sigemptyset(&unblocked);
  if (until == Clock::time_point::max())
    return ::ppoll(fds.data(), fds.size(), nullptr, &unblocked);
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
  const long long ms = std::max<long long>(0, left.count());
  const timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  return ::ppoll(fds.data(), fds.size(), &ts, &unblocked);
}

std::string peer_name(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  char text[INET_ADDRSTRLEN] = "?";
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

}  // namespace

bool Session::read_some(Clock::time_point now) {
  uint8_t buf[4096];
  const ssize_t n = ::read(fd_, buf, sizeof buf);
  if (n < 0) return errno == EINTR || errno == EAGAIN;
  if (n == 0) return false;
  active_ = now;
  take(buf, static_cast<size_t>(n), now);
  return true;
}

void Session::take(const uint8_t* bytes, size_t n, Clock::time_point now) {
  for (size_t i = 0; i < n; ++i) {
    const uint8_t b = bytes[i];
    if (b == klx::kFrameSoi) frame_.clear(), in_frame_ = true;
    if (!in_frame_) continue;
    frame_.push_back(b);
    if (b == klx::kFrameEoi) {
      in_frame_ = false;
      answer(frame_, now);
    } else if (frame_.size() > kMaxCommandChars) {
      in_frame_ = false;
      frame_.clear();
    }
  }
}

// Chunks follow one another: each waits its delay after the previous one went out.
void Session::answer(const std::vector<uint8_t>& frame, Clock::time_point now) {
  if (gate_ && *gate_ && !(*gate_)()) {
    if (verbose_) std::cerr << "< " << printable(frame) << "\n> (not heard at this speed)\n";
    return;
  }
  const auto chunks = peer_.respond(frame);
  if (!chunks.empty()) ++answered_;
  if (verbose_) std::cerr << "< " << printable(frame) << "\n";
  Clock::time_point at = out_.empty() ? now : std::max(now, out_.back().due);
  for (const auto& c : chunks) {
    at += std::chrono::milliseconds(c.delay_ms);
    out_.push_back({at, c.bytes});
    backlog_ += c.bytes.size();
    if (verbose_) std::cerr << "> +" << c.delay_ms << " ms " << printable(c.bytes) << "\n";
  }
  if (verbose_ && chunks.empty()) std::cerr << "> (no answer)\n";
}

bool Session::flush(Clock::time_point now) {
  while (!out_.empty() && out_.front().due <= now) {
    const auto& p = out_.front();
    const ssize_t w = ::write(fd_, p.bytes.data() + sent_, p.bytes.size() - sent_);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno == EAGAIN) return true;
    if (w <= 0) return false;
    active_ = now;
    sent_ += static_cast<size_t>(w);
    backlog_ -= static_cast<size_t>(w);
    if (sent_ == p.bytes.size()) out_.pop_front(), sent_ = 0;
  }
  return true;
}

bool Session::blocked(Clock::time_point now) const {
  return !out_.empty() && out_.front().due <= now;
}

Clock::time_point Session::next_due() const {
  return out_.empty() ? Clock::time_point::max() : out_.front().due;
}

void Session::discard() {
  out_.clear();
  sent_ = 0;
  backlog_ = 0;
}

LineServer::End LineServer::serve(int fd, const volatile sig_atomic_t& stop) {
  set_nonblocking(fd);
  Session s(fd, peer_, verbose_, Clock::now(), &gate_);
  while (!stop) {
    if (!s.flush(Clock::now())) return End::Closed;
    if (s.backlog() > limits_.backlog) {
      std::cerr << "klx-sim: " << s.backlog() << " bytes of answers not taken: discarded\n";
      s.discard();
    }
    const bool blocked = s.blocked(Clock::now());
    std::vector<pollfd> p{{fd, static_cast<short>(POLLIN | (blocked ? POLLOUT : 0)), 0}};
    const int r = wait_for(p, blocked ? Clock::time_point::max() : s.next_due());
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return End::Closed;
    if (r == 0) continue;
    if ((p[0].revents & POLLIN) && !s.read_some(Clock::now())) return End::Closed;
    if (!(p[0].revents & (POLLIN | POLLOUT)) && (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)))
      return End::Closed;
  }
  return End::Stopped;
}

struct LineServer::Client {
  Client(int fd, klx::Peer& peer, bool verbose)
      : session(fd, peer, verbose, Clock::now()), name(peer_name(fd)) {}
  ~Client() { close(session.fd()); }
  Session session;
  std::string name;
};

bool LineServer::accept_one(int listener, std::vector<std::unique_ptr<Client>>& clients) {
  const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return false;
  const int yes = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  // A small send buffer keeps what a client leaves unread near the backlog limit, not the
  // megabytes the kernel would otherwise grant a loopback connection.
  const int send_buffer = 16 * 1024;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
  if (clients.size() >= limits_.max_clients) {
    std::cerr << "klx-sim: client refused (" << peer_name(fd) << "): " << clients.size()
              << " clients already connected\n";
    close(fd);
    return true;
  }
  clients.push_back(std::make_unique<Client>(fd, peer_, verbose_));
  std::cerr << "klx-sim: client connected (" << clients.back()->name << ")\n";
  return true;
}

std::string LineServer::verdict(Client& c, short revents, Clock::time_point now) {
  Session& s = c.session;
  if ((revents & POLLIN) && !s.read_some(now)) return "client gone";
  if (!(revents & (POLLIN | POLLOUT)) && (revents & (POLLHUP | POLLERR | POLLNVAL)))
    return "client gone";
  if (!s.flush(now)) return "client gone";
  if (limits_.drop_after && s.answered() >= limits_.drop_after && s.idle())
    return "connection closed after " + std::to_string(limits_.drop_after) + " answers";
  if (s.backlog() > limits_.backlog)
    return "client dropped: " + std::to_string(s.backlog()) + " bytes of answers not taken";
  if (limits_.idle.count() > 0 && now - s.active() >= limits_.idle) {
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(limits_.idle).count();
    return "client dropped: nothing sent or taken for " + std::to_string(secs) + " s";
  }
  return "";
}

void LineServer::serve_clients(int listener, const volatile sig_atomic_t& stop) {
  std::vector<std::unique_ptr<Client>> clients;
  std::vector<pollfd> fds;
  while (!stop) {
    const Clock::time_point now = Clock::now();
    Clock::time_point until = Clock::time_point::max();
    fds.assign(1, {listener, POLLIN, 0});
    for (const auto& c : clients) {
      const Session& s = c->session;
      const bool blocked = s.blocked(now);
      fds.push_back({s.fd(), static_cast<short>(POLLIN | (blocked ? POLLOUT : 0)), 0});
      if (!blocked) until = std::min(until, s.next_due());
      if (limits_.idle.count() > 0) until = std::min(until, s.active() + limits_.idle);
    }
    const int r = wait_for(fds, until);
    if (r < 0 && errno != EINTR) break;
    if (r < 0) continue;
    for (size_t i = clients.size(); i-- > 0;) {
      const std::string why = verdict(*clients[i], fds[i + 1].revents, Clock::now());
      if (why.empty()) continue;
      std::cerr << "klx-sim: " << why << " (" << clients[i]->name << ")\n";
      clients.erase(clients.begin() + static_cast<long>(i));
    }
    if (fds[0].revents & POLLIN) accept_one(listener, clients);
  }
}
