// A serial device opened raw with termios: 8N1 at the device's speed, no flow control, no
// line discipline, non-blocking reads (the poll loop waits on the descriptor).
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

#include "klx/transport.h"

namespace klx {
namespace {

std::string errno_text(const std::string& what) { return what + ": " + std::strerror(errno); }

// Raw mode: no echo, no canonical lines, no CR/NL translation (frames end in CR), no XON/XOFF,
// no RTS/CTS; 8 data bits, no parity, one stop bit; reads return at once.
bool make_raw(int fd, speed_t speed, std::string& error) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return error = errno_text("tcgetattr"), false;
  cfmakeraw(&tio);
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | ISTRIP);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0)
    return error = errno_text("cfsetspeed"), false;
  if (tcsetattr(fd, TCSANOW, &tio) != 0) return error = errno_text("tcsetattr"), false;
  tcflush(fd, TCIOFLUSH);
  return true;
}

// The driver switches the transmitter on for each frame and off after it, where it can.
void enable_rs485(int fd) {
  serial_rs485 rs{};
  rs.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
  ioctl(fd, TIOCSRS485, &rs);  // drivers without RS-485 support refuse it; the line still works
}

// What to do about an error no retry can mend, or nullptr for one that may pass (a device server
// rebooting, a USB adapter being replugged).
const char* permanent_hint(int e) {
  switch (e) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
      return "no such serial device; check the port's name";
    case ENOTTY:
    case EISDIR:
      return "not a serial device";
    case EACCES:
    case EPERM:
      return "the user may not open it: add the user to the \"dialout\" group "
             "(usermod -aG dialout USER) and log in again";
    case EBUSY:
    case EWOULDBLOCK:
      return "another program has the port open; two masters on one line corrupt each other";
    default:
      return nullptr;
  }
}

// One master per line: the advisory lock stops another klx-host (root included), TIOCEXCL any
// other program that opens the port after us (root excepted).
bool take_exclusively(int fd, std::string& error) {
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
    ioctl(fd, TIOCEXCL);
    return true;
  }
  error = errno == EWOULDBLOCK ? std::string("already in use") : errno_text("lock");
  return false;
}

class SerialTransport : public Transport {
 public:
  SerialTransport(std::string path, int baud, bool rs485)
      : path_(std::move(path)), baud_(baud), rs485_(rs485) {}
  ~SerialTransport() override { close(); }

  bool open(std::string& error) override {
    if (fd_ >= 0) return true;
    const speed_t speed = termios_speed(baud_);
    if (speed == B0) return error = "unsupported speed " + std::to_string(baud_), false;
    permanent_ = false;
    const int fd = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return refused(errno, errno_text(path_), error);
    if (!make_raw(fd, speed, error) || !take_exclusively(fd, error)) {
      const int e = errno;
      ::close(fd);
      return refused(e, path_ + ": " + error, error);
    }
    if (rs485_) enable_rs485(fd);
    fd_ = fd;
    return true;
  }

  // The exclusive flag stays on the terminal while another holds it open (klx-sim's pty).
  void close() override {
    if (fd_ >= 0) {
      ioctl(fd_, TIOCNXCL);
      ::close(fd_);
    }
    fd_ = -1;
  }
  bool is_open() const override { return fd_ >= 0; }
  bool open_failed_for_good() const override { return permanent_; }

  // A frame is a few hundred bytes at most: the driver's buffer takes it whole, but a partial
  // write is finished rather than dropped.
  bool write(const uint8_t* bytes, size_t n) override {
    size_t done = 0;
    while (done < n) {
      const ssize_t w = ::write(fd_, bytes + done, n - done);
      if (w > 0) {
        done += static_cast<size_t>(w);
      } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
        tcdrain(fd_);
      } else {
        return false;
      }
    }
    return true;
  }

  long read(uint8_t* buf, size_t cap) override {
    const ssize_t r = ::read(fd_, buf, cap);
    if (r >= 0) return static_cast<long>(r);
    return errno == EAGAIN || errno == EINTR ? 0 : -1;
  }

  int fd() const override { return fd_; }
  std::string describe() const override { return path_ + " at " + std::to_string(baud_); }

 private:
  std::string path_;
  int baud_;
  bool rs485_;
  int fd_ = -1;
  bool permanent_ = false;

  bool refused(int e, const std::string& what, std::string& error) {
    const char* hint = permanent_hint(e);
    permanent_ = hint != nullptr;
    error = hint ? what + " (" + hint + ")" : what;
    return false;
  }
};

}  // namespace

unsigned termios_speed(int baud) {
  switch (baud) {
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    default:
      return B0;
  }
}

std::unique_ptr<Transport> make_serial_transport(const std::string& path, int baud, bool rs485) {
  return std::make_unique<SerialTransport>(path, baud, rs485);
}

}  // namespace klx
