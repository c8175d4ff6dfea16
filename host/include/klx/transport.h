#pragma once

// This host's own runtime (the line backends), not part of the closed host's interface.

// The one narrow interface between the protocol layer and a line. Serial ports, TCP device
// servers and in-process peers (simulator, replay) are backends of it; the protocol layer never
// knows which one it has.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "klx/api.h"

namespace klx {

class Peer;
using SteadyClock = std::chrono::steady_clock;

class KLX_API Transport {
 public:
  virtual ~Transport();
  // Opens the line; on failure returns false and says why in `error`.
  virtual bool open(std::string& error) = 0;
  virtual void close() = 0;
  virtual bool is_open() const = 0;
  // Writes a whole frame; false when the line is lost.
  virtual bool write(const uint8_t* bytes, size_t n) = 0;
  // Takes what has arrived without blocking: the number of bytes, 0 when nothing is there yet,
  // -1 when the line is lost.
  virtual long read(uint8_t* buf, size_t cap) = 0;
  // The descriptor to wait on for input, or -1 for an in-process line.
  virtual int fd() const { return -1; }
  // When an in-process line has its next bytes ready; time_point::max() when nothing is pending.
  virtual SteadyClock::time_point next_due() const { return SteadyClock::time_point::max(); }
  // The time from here on for a line that keeps its own timetable (in-process lines); others
  // ignore it.
  virtual void set_time(SteadyClock::time_point) {}
  // The line as a person would name it ("/dev/ttyS1 at 9600", "tcp 10.0.0.5:4001").
  virtual std::string describe() const = 0;
  // True after an open that no retry can mend (no such device, not a serial line, no permission,
  // held by another program): the error says what to do.
  virtual bool open_failed_for_good() const { return false; }
  // open() returned false because the line is still being opened (a TCP connect in progress):
  // call open() again soon to finish it. Nothing waits for it meanwhile.
  virtual bool connecting() const { return false; }
};

// A serial device opened raw: `baud` (e.g. 9600), 8 data bits, no parity, 1 stop bit, no flow
// control. With `rs485` the driver's RS-485 direction control is switched on where it has one.
KLX_API std::unique_ptr<Transport> make_serial_transport(const std::string& path, int baud,
                                                         bool rs485 = false);

// The termios speed constant of a line speed in baud (B9600 for 9600), or 0 (B0) when termios
// has none for it.
KLX_API unsigned termios_speed(int baud);
// Sets a serial line (or a pseudo-terminal) raw, 8N1 at `speed` (a termios_speed() constant), no
// flow control, reads returning at once, and flushes what it held: the one line set-up of the
// host's serial ports, klx-sim and the benchmarks. False with the reason in `error`.
KLX_API bool make_raw(int fd, unsigned speed, std::string& error);

// A TCP serial device server. A dropped connection reads as a lost line; the link reconnects.
KLX_API std::unique_ptr<Transport> make_tcp_transport(const std::string& host, uint16_t port);

// An in-process line: every frame written is handed to the peer, whose timed answer chunks
// become readable when their time comes.
KLX_API std::unique_ptr<Transport> make_peer_transport(std::unique_ptr<Peer> peer,
                                                       std::string name);

}  // namespace klx
