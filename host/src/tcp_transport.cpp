// A serial device server reached over TCP: the bytes of the serial line, unframed, in both
// directions. A connection that drops reads as a lost line; the link reconnects with back-off.
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "klx/transport.h"

namespace klx {
namespace {

// How long a connection attempt may take; the poll loop never waits for it.
constexpr std::chrono::milliseconds kConnectTimeout{2000};

std::string errno_text(const std::string& what, int err) {
  return what + ": " + std::strerror(err);
}

// Starts a connection without waiting; returns the socket or -1.
int start_connect(const addrinfo& ai, std::string& error) {
  const int fd =
      socket(ai.ai_family, ai.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai.ai_protocol);
  if (fd < 0) return error = errno_text("socket", errno), -1;
  if (connect(fd, ai.ai_addr, ai.ai_addrlen) != 0 && errno != EINPROGRESS) {
    error = errno_text("connect", errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

// 1 connected, 0 still in progress, -1 failed (`error` says why).
int connect_state(int fd, std::string& error) {
  pollfd p{fd, POLLOUT, 0};
  const int ready = poll(&p, 1, 0);
  if (ready == 0) return 0;
  int err = 0;
  socklen_t len = sizeof err;
  if (ready < 0)
    err = errno;
  else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
    err = errno;
  if (err != 0) return error = errno_text("connect", err), -1;
  return 1;
}

class TcpTransport : public Transport {
 public:
  TcpTransport(std::string host, uint16_t port) : host_(std::move(host)), port_(port) {}
  ~TcpTransport() override { close(); }

  // The first call starts the connection; later calls look whether it is done. The first
  // address that takes a connection wins; a connection not made in time is given up.
  bool open(std::string& error) override {
    if (fd_ >= 0) return true;
    if (pending_ < 0 && !start(error)) return false;
    const int state = connect_state(pending_, error);
    if (state == 0 && now() - started_ < kConnectTimeout) return error = "connecting", false;
    if (state <= 0) {
      if (state == 0) error = errno_text("connect", ETIMEDOUT);
      drop_pending();
      return false;
    }
    fd_ = pending_;
    pending_ = -1;
    // Commands are small and the answer waits on them: send each at once.
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    error.clear();
    return true;
  }
  bool connecting() const override { return pending_ >= 0; }
  void set_time(SteadyClock::time_point now) override {
    manual_time_ = true;
    now_ = now;
  }

  void close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    drop_pending();
  }
  bool is_open() const override { return fd_ >= 0; }

  bool write(const uint8_t* bytes, size_t n) override {
    size_t done = 0;
    while (done < n) {
      const ssize_t w = ::send(fd_, bytes + done, n - done, MSG_NOSIGNAL);
      if (w > 0) {
        done += static_cast<size_t>(w);
        continue;
      }
      if (w < 0 && errno == EINTR) continue;
      // A server that leaves a whole socket buffer unread is not waited for: the line is lost.
      return false;
    }
    return true;
  }

  // End of stream means the server closed the connection: the line is lost.
  long read(uint8_t* buf, size_t cap) override {
    const ssize_t r = ::recv(fd_, buf, cap, 0);
    if (r > 0) return static_cast<long>(r);
    if (r < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    return -1;
  }

  int fd() const override { return fd_; }
  std::string describe() const override { return "tcp " + host_ + ":" + std::to_string(port_); }

 private:
  SteadyClock::time_point now() const { return manual_time_ ? now_ : SteadyClock::now(); }

  // The connection goes to the first address that takes the attempt; when it fails, the next
  // open starts over.
  bool start(std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(host_.c_str(), std::to_string(port_).c_str(), &hints, &list);
    if (rc != 0) return error = host_ + ": " + gai_strerror(rc), false;
    for (addrinfo* ai = list; ai && pending_ < 0; ai = ai->ai_next)
      pending_ = start_connect(*ai, error);
    freeaddrinfo(list);
    started_ = now();
    return pending_ >= 0;
  }
  void drop_pending() {
    if (pending_ >= 0) ::close(pending_);
    pending_ = -1;
  }

  std::string host_;
  uint16_t port_;
  int fd_ = -1;
  int pending_ = -1;  // a connection in progress
  SteadyClock::time_point started_{};
  bool manual_time_ = false;
  SteadyClock::time_point now_{};
};

}  // namespace

std::unique_ptr<Transport> make_tcp_transport(const std::string& host, uint16_t port) {
  return std::make_unique<TcpTransport>(host, port);
}

}  // namespace klx
