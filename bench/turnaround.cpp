// klx-turnaround: sits on the line between klx-host and klx-sim and measures the host's
// turnaround, from the moment the last byte of an answer (its EOI) has been handed to the host's
// pseudo-terminal to the moment the first byte of the next command comes out of it.
//
//   klx-turnaround --sim PTY [--out FILE] [--samples FILE]
//
// Opens klx-sim's pseudo-terminal PTY, opens one of its own for the host and prints that one's
// path as the first line of standard output. Bytes are passed on unchanged both ways. On SIGINT
// or SIGTERM it writes the figures as "key value" lines to FILE (standard error without --out):
// turnarounds within a round (the next command follows at once) apart from the pauses before a
// round's first command (40/41), which wait for the poll tick and are only counted. --samples
// writes every turnaround within a round as "CID1/CID2 microseconds", named by the command that
// ended it.

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "klx/transport.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned char kSoi = 0x7E;
constexpr unsigned char kEoi = 0x0D;

volatile sig_atomic_t g_stop = 0;
extern "C" void on_signal(int) { g_stop = 1; }

bool make_raw(int fd) {
  std::string error;
  return klx::make_raw(fd, B9600, error);
}

bool write_all(int fd, const unsigned char* p, size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// The turnaround in progress: started by an answer's EOI, ended by the next command's first
// byte, and classified once that command's CID1 and CID2 have arrived.
struct Meter {
  bool answer_ended = false;
  Clock::time_point answer_end;
  bool classifying = false;
  double pending_us = 0;
  std::string command;  // characters of the command being classified
  std::vector<double> within_round;
  std::vector<double> round_starts;
  std::vector<std::string> commands;  // CID1/CID2 of the command ending each within_round entry

  void on_answer_bytes(const unsigned char* p, size_t n, Clock::time_point written) {
    if (std::memchr(p, kEoi, n)) {
      answer_ended = true;
      answer_end = written;
    }
  }

  void on_command_bytes(const unsigned char* p, size_t n, Clock::time_point read_at) {
    if (answer_ended) {
      answer_ended = false;
      pending_us = std::chrono::duration<double, std::micro>(read_at - answer_end).count();
      classifying = true;
      command.clear();
    }
    if (!classifying) return;
    command.append(reinterpret_cast<const char*>(p), n);
    const size_t soi = command.find(static_cast<char>(kSoi));
    if (soi == std::string::npos || command.size() < soi + 9) return;
    // "~" VER ADR then CID1 CID2 as hex: characters 5 to 8 after SOI.
    const bool round_start = command.compare(soi + 5, 4, "4041") == 0;
    (round_start ? round_starts : within_round).push_back(pending_us);
    if (!round_start)
      commands.push_back(command.substr(soi + 5, 2) + "/" + command.substr(soi + 7, 2));
    classifying = false;
  }
};

// Nearest-rank percentile of sorted samples.
double percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  size_t rank = static_cast<size_t>(p / 100.0 * static_cast<double>(sorted.size()) + 0.999999);
  rank = std::clamp<size_t>(rank, 1, sorted.size());
  return sorted[rank - 1];
}

void write_samples(const Meter& m, const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (!f) return;
  for (size_t i = 0; i < m.within_round.size(); ++i)
    std::fprintf(f, "%s %.1f\n", m.commands[i].c_str(), m.within_round[i]);
  std::fclose(f);
}

void report(Meter& m, std::FILE* out) {
  std::vector<double> s = m.within_round;
  std::sort(s.begin(), s.end());
  std::fprintf(out, "turnaround_samples %zu\n", s.size());
  std::fprintf(out, "turnaround_median_us %.1f\n", percentile(s, 50));
  std::fprintf(out, "turnaround_p90_us %.1f\n", percentile(s, 90));
  std::fprintf(out, "turnaround_p99_us %.1f\n", percentile(s, 99));
  std::fprintf(out, "turnaround_max_us %.1f\n", s.empty() ? 0.0 : s.back());
  std::fprintf(out, "turnaround_min_us %.1f\n", s.empty() ? 0.0 : s.front());
  std::fprintf(out, "round_starts %zu\n", m.round_starts.size());
}

int open_host_side(std::string& path) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return -1;
  const char* name = ptsname(master);
  if (!name) return -1;
  path = name;
  // Held open so that the line stays up between the host's opens, and raw from the start.
  const int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0 || !make_raw(slave)) return -1;
  return master;
}

int relay(int host, int sim, Meter& m) {
  sigset_t unblocked;
  sigemptyset(&unblocked);
  unsigned char buf[4096];
  pollfd fds[2] = {{host, POLLIN, 0}, {sim, POLLIN, 0}};
  while (!g_stop) {
    const int r = ppoll(fds, 2, nullptr, &unblocked);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return 1;
    if (fds[0].revents & POLLIN) {
      const ssize_t n = read(host, buf, sizeof buf);
      const auto at = Clock::now();
      if (n > 0) {
        m.on_command_bytes(buf, static_cast<size_t>(n), at);
        if (!write_all(sim, buf, static_cast<size_t>(n))) return 1;
      }
    }
    if (fds[1].revents & POLLIN) {
      const ssize_t n = read(sim, buf, sizeof buf);
      if (n <= 0 && errno != EINTR && errno != EAGAIN) return 1;
      if (n > 0) {
        if (!write_all(host, buf, static_cast<size_t>(n))) return 1;
        m.on_answer_bytes(buf, static_cast<size_t>(n), Clock::now());
      }
    }
    if ((fds[1].revents & (POLLHUP | POLLERR)) && !(fds[1].revents & POLLIN)) return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string sim_path, out_path, samples_path;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--sim")
      sim_path = argv[i + 1];
    else if (a == "--out")
      out_path = argv[i + 1];
    else if (a == "--samples")
      samples_path = argv[i + 1];
  }
  if (sim_path.empty()) {
    std::fprintf(stderr, "usage: klx-turnaround --sim PTY [--out FILE] [--samples FILE]\n");
    return 2;
  }
  // Signals are taken only while waiting, so a figure is never cut in half.
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  sigprocmask(SIG_BLOCK, &blocked, nullptr);
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  const int sim = open(sim_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (sim < 0 || !make_raw(sim)) {
    std::fprintf(stderr, "klx-turnaround: cannot open %s: %s\n", sim_path.c_str(),
                 std::strerror(errno));
    return 1;
  }
  std::string host_path;
  const int host = open_host_side(host_path);
  if (host < 0) {
    std::fprintf(stderr, "klx-turnaround: cannot open a pseudo-terminal: %s\n",
                 std::strerror(errno));
    return 1;
  }
  std::printf("%s\n", host_path.c_str());
  std::fflush(stdout);

  Meter m;
  m.within_round.reserve(1 << 16);
  const int rc = relay(host, sim, m);
  if (!samples_path.empty()) write_samples(m, samples_path);
  std::FILE* out = out_path.empty() ? stderr : std::fopen(out_path.c_str(), "w");
  if (!out) return 1;
  report(m, out);
  if (out != stderr) std::fclose(out);
  return rc;
}
