#pragma once

#include <signal.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "klx/peer.h"

struct ServeLimits {
  // N > 0: a TCP client's connection is closed once its N-th answer is written (a device server
  // that drops its link).
  unsigned drop_after = 0;
  // A TCP client from which nothing arrives and to which nothing can be written for this long is
  // dropped (0: never), so one idle client holds nothing.
  std::chrono::milliseconds idle{60000};
  // Answers written but not taken beyond this many bytes: a TCP client is dropped; on a stream
  // (pseudo-terminal, serial device) the untaken answers are discarded, as a line loses them.
  size_t backlog = 64 * 1024;
  // TCP clients served at once; a further one is refused.
  size_t max_clients = 8;
};

// One stream's side of the line: gathers the command frames written to it and queues each
// answer's chunks until their delays have run out. Nothing here blocks: the server's poll() says
// when to read and when a write can go on.
class Session {
 public:
  using Clock = std::chrono::steady_clock;

  // Whether a command that came in now is heard (a device at another speed than the master's
  // hears noise); null: always.
  using Gate = std::function<bool()>;

  Session(int fd, klx::Peer& peer, bool verbose, Clock::time_point now, const Gate* gate = nullptr)
      : fd_(fd), peer_(peer), verbose_(verbose), active_(now), gate_(gate) {}

  int fd() const { return fd_; }
  // Reads what the other side wrote; false once it is gone.
  bool read_some(Clock::time_point now);
  // Writes the chunks that are due, as far as the stream takes them; false once it is gone.
  bool flush(Clock::time_point now);
  // Due output the stream has not taken yet (wait for POLLOUT).
  bool blocked(Clock::time_point now) const;
  // When the next queued chunk falls due (max() when none is queued).
  Clock::time_point next_due() const;
  size_t backlog() const { return backlog_; }
  void discard();
  unsigned answered() const { return answered_; }
  bool idle() const { return out_.empty(); }
  // The last time a byte went either way.
  Clock::time_point active() const { return active_; }

 private:
  struct Pending {
    Clock::time_point due;
    std::vector<uint8_t> bytes;
  };
  void take(const uint8_t* bytes, size_t n, Clock::time_point now);
  void answer(const std::vector<uint8_t>& frame, Clock::time_point now);

  int fd_;
  klx::Peer& peer_;
  bool verbose_;
  Clock::time_point active_;
  const Gate* gate_;
  unsigned answered_ = 0;       // answers written to this stream so far
  std::vector<uint8_t> frame_;  // the command frame being gathered
  bool in_frame_ = false;
  std::deque<Pending> out_;
  size_t sent_ = 0;     // bytes of out_.front() already written
  size_t backlog_ = 0;  // bytes queued in out_, due or not
};

// Serves a peer on byte streams: one stream (a pseudo-terminal, a serial device) or every client
// of a listening TCP socket, each client with a line of its own. One poll() waits for them all,
// so nothing sleeps, a slow answer delays only the answers queued behind it (as on a half-duplex
// line), and no client can hold another.
class LineServer {
 public:
  enum class End { Stopped, Closed };

  LineServer(klx::Peer& peer, bool verbose, ServeLimits limits)
      : peer_(peer), verbose_(verbose), limits_(limits) {}

  // Signals are expected blocked outside the waits, which unblock them (ppoll), so none is lost:
  // both return once `stop` is set.
  // Serves `fd` (made non-blocking) until `stop` or the other side closes it.
  End serve(int fd, const volatile sig_atomic_t& stop);
  // Commands on the stream served by serve() are answered only while `gate` says they are heard.
  void set_gate(Session::Gate gate) { gate_ = std::move(gate); }
  // Accepts and serves clients of `listener` until `stop`; closes every client on the way out.
  void serve_clients(int listener, const volatile sig_atomic_t& stop);

 private:
  struct Client;
  bool accept_one(int listener, std::vector<std::unique_ptr<Client>>& clients);
  // Why `c` must go now, or "".
  std::string verdict(Client& c, short revents, Session::Clock::time_point now);

  klx::Peer& peer_;
  bool verbose_;
  ServeLimits limits_;
  Session::Gate gate_;
};
