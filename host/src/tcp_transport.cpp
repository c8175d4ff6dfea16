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

// How long one connection attempt may hold up the poll loop.
constexpr int kConnectTimeoutMs = 2000;

std::string errno_text(const std::string& what, int err) {
  return what + ": " + std::strerror(err);
}

// Connects without blocking for longer than the time-out; returns the socket or -1.
int connect_within(const addrinfo& ai, std::string& error) {
  const int fd =
      socket(ai.ai_family, ai.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai.ai_protocol);
  if (fd < 0) return error = errno_text("socket", errno), -1;
  if (connect(fd, ai.ai_addr, ai.ai_addrlen) != 0 && errno != EINPROGRESS) {
    error = errno_text("connect", errno);
    ::close(fd);
    return -1;
  }
  pollfd p{fd, POLLOUT, 0};
  int err = 0;
  socklen_t len = sizeof err;
  const int ready = poll(&p, 1, kConnectTimeoutMs);
  if (ready <= 0) {
    err = ready == 0 ? ETIMEDOUT : errno;
  } else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
    err = errno;
  }
  if (err != 0) {
    error = errno_text("connect", err);
    ::close(fd);
    return -1;
  }
  // Commands are small and the answer waits on them: send each at once.
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

class TcpTransport : public Transport {
 public:
  TcpTransport(std::string host, uint16_t port) : host_(std::move(host)), port_(port) {}
  ~TcpTransport() override { close(); }

  bool open(std::string& error) override {
    if (fd_ >= 0) return true;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(host_.c_str(), std::to_string(port_).c_str(), &hints, &list);
    if (rc != 0) return error = host_ + ": " + gai_strerror(rc), false;
    for (addrinfo* ai = list; ai && fd_ < 0; ai = ai->ai_next) fd_ = connect_within(*ai, error);
    freeaddrinfo(list);
    if (fd_ >= 0) error.clear();
    return fd_ >= 0;
  }

  void close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
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
      if (w < 0 && errno == EAGAIN) {
        pollfd p{fd_, POLLOUT, 0};
        if (poll(&p, 1, kConnectTimeoutMs) > 0) continue;
      }
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
  std::string host_;
  uint16_t port_;
  int fd_ = -1;
};

}  // namespace

std::unique_ptr<Transport> make_tcp_transport(const std::string& host, uint16_t port) {
  return std::make_unique<TcpTransport>(host, port);
}

}  // namespace klx
