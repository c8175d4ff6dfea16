#pragma once

#include <signal.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "klx/peer.h"

// Serves a peer on a byte stream (a pseudo-terminal, a TCP connection, a serial device): gathers
// the command frames written to it, and writes each answer's chunks when their delays have run
// out. One poll() waits for both, so nothing sleeps and a slow answer delays nothing else but the
// answers queued behind it, as on a half-duplex line.
class LineServer {
 public:
  enum class End { Stopped, Closed, Dropped };

  // With `drop_after` N > 0, serve() lets the line go after every N answers (a device server
  // that drops its connection), once the N-th answer is written.
  LineServer(klx::Peer& peer, bool verbose, unsigned drop_after = 0)
      : peer_(peer), verbose_(verbose), drop_after_(drop_after) {}

  // Serves `fd` until a signal arrives (`stop` set), the other side goes away, or the line is
  // dropped. Signals are expected blocked outside the wait, which unblocks them (ppoll), so none
  // is lost. Nothing of an earlier line carries over: no half-read command, no pending answer.
  End serve(int fd, const volatile sig_atomic_t& stop);

 private:
  using Clock = std::chrono::steady_clock;
  struct Pending {
    Clock::time_point due;
    std::vector<uint8_t> bytes;
  };

  void take(const uint8_t* bytes, size_t n);
  void answer(const std::vector<uint8_t>& frame);
  bool flush_due(int fd);
  int wait_ms() const;

  klx::Peer& peer_;
  bool verbose_;
  unsigned drop_after_;
  unsigned answered_ = 0;       // answers on this line so far
  std::vector<uint8_t> frame_;  // the command frame being gathered
  bool in_frame_ = false;
  std::deque<Pending> out_;
};

// Writes all of `bytes`; false when the other side is gone.
bool write_all(int fd, const uint8_t* bytes, size_t n);
