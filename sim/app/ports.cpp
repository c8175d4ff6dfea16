#include "ports.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

#include "klx/transport.h"

namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + strerror(errno));
}

// No echo, no line editing, no CR/LF translation: frames end in CR and must arrive as sent.
void make_raw(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) fail("cannot read the line settings");
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &t) != 0) fail("cannot set the line raw");
}

}  // namespace

PtyPair open_pty() {
  PtyPair p;
  p.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (p.master < 0) fail("cannot open a pseudo-terminal");
  if (grantpt(p.master) != 0 || unlockpt(p.master) != 0) fail("cannot unlock the pseudo-terminal");
  const char* name = ptsname(p.master);
  if (!name) fail("cannot name the pseudo-terminal");
  p.path = name;
  p.slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (p.slave < 0) fail("cannot open " + p.path);
  make_raw(p.slave);
  return p;
}

int open_serial(const std::string& path, int baud) {
  const speed_t speed = klx::termios_speed(baud);
  if (speed == B0) throw std::runtime_error("unsupported baud rate " + std::to_string(baud));
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) fail("cannot open " + path);
  make_raw(fd);
  termios t{};
  tcgetattr(fd, &t);
  t.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
  t.c_cflag |= CS8;
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  if (tcsetattr(fd, TCSANOW, &t) != 0) fail("cannot set " + path + " to 8N1");
  return fd;
}

int listen_tcp(const std::string& address, int port, int& bound_port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1)
    throw std::runtime_error("not an IPv4 address: " + address);
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) fail("cannot open a socket");
  const int yes = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
    fail("cannot listen on " + address + ":" + std::to_string(port));
  if (listen(fd, 16) != 0) fail("cannot listen");
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  bound_port = ntohs(a.sin_port);
  return fd;
}

bool is_loopback(const std::string& address) {
  in_addr a{};
  return inet_pton(AF_INET, address.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}
