// klx-scale: one poll loop (klx::PollLoop, as klx-host runs it) with N devices on up to 8 lines of
// 32, each line an in-memory bus that answers every address with the largest round, paced at
// 9600 Bd (an answer is readable once the command and the answer would have crossed the line).
// Time is simulated: the loop sleeps to its next due time at once. Prints the CPU time per
// device-round, which must stay flat as devices are added.
//
// Usage: klx-scale [--devices N] [--seconds S]     (simulated seconds, default 600)
#include <json/reader.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "klx/frame.h"
#include "klx/poll_loop.h"
#include "klx/transport.h"
#include "round_rig.h"
#include "support/fake_clock.h"

namespace {

using Clock = klx::SteadyClock;
constexpr size_t kPerLine = 32;
constexpr size_t kMaxLines = 8;

// The round's answer frames for every address 1 to 32, keyed by (address, cid1, cid2).
using Answers = std::map<uint32_t, std::vector<uint8_t>>;
uint32_t key(uint8_t adr, uint8_t cid1, uint8_t cid2) { return adr << 16 | cid1 << 8 | cid2; }

Answers answers_for_every_address() {
  const sim::Model model = bench::largest_round_model();
  Answers out;
  for (const auto& e : bench::largest_round_exchanges(model))
    for (unsigned adr = 1; adr <= kPerLine; ++adr) {
      const std::string f = klx::encode_frame(model.version, static_cast<uint8_t>(adr), e.cid1,
                                              0x00, e.info.data(), e.info.size());
      out[key(static_cast<uint8_t>(adr), e.cid1, e.cid2)].assign(f.begin(), f.end());
    }
  return out;
}

uint8_t hex_byte(const uint8_t* p) {
  const auto nibble = [](uint8_t c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  return static_cast<uint8_t>(nibble(p[0]) << 4 | nibble(p[1]));
}

// A bus of simulated devices: the answer to a command is readable whole once the command and
// the answer have had their time on the line.
class PacedBus : public klx::Transport {
 public:
  explicit PacedBus(const Answers& answers) : answers_(answers) {}
  bool open(std::string&) override { return open_ = true; }
  void close() override { open_ = false; }
  bool is_open() const override { return open_; }
  void set_time(Clock::time_point now) override { now_ = now; }
  bool write(const uint8_t* frame, size_t n) override {
    pending_ = nullptr;
    if (n < 9) return true;
    const auto it =
        answers_.find(key(hex_byte(frame + 3), hex_byte(frame + 5), hex_byte(frame + 7)));
    if (it == answers_.end()) return true;
    pending_ = &it->second;
    taken_ = 0;
    due_ = now_ + wire(n + it->second.size());
    return true;
  }
  long read(uint8_t* buf, size_t cap) override {
    if (!pending_ || now_ < due_) return 0;
    const size_t n = std::min(cap, pending_->size() - taken_);
    std::memcpy(buf, pending_->data() + taken_, n);
    taken_ += n;
    if (taken_ == pending_->size()) pending_ = nullptr;
    return static_cast<long>(n);
  }
  Clock::time_point next_due() const override { return pending_ ? due_ : Clock::time_point::max(); }
  std::string describe() const override { return "paced bus"; }

 private:
  static Clock::duration wire(size_t chars) {
    return std::chrono::microseconds(static_cast<long long>(chars) * 10 * 1000000 / bench::kBaud);
  }
  const Answers& answers_;
  const std::vector<uint8_t>* pending_ = nullptr;
  size_t taken_ = 0;
  Clock::time_point now_{}, due_{};
  bool open_ = false;
};

double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  size_t n = 1;
  double seconds = 600;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--devices")) n = std::strtoul(argv[i + 1], nullptr, 10);
    if (!std::strcmp(argv[i], "--seconds")) seconds = std::strtod(argv[i + 1], nullptr);
  }
  if (n < 1 || n > kPerLine * kMaxLines || seconds <= 0) {
    std::fprintf(stderr, "usage: klx-scale [--devices 1..256] [--seconds S]\n");
    return 2;
  }
  // The plug-in's diagnostic lines are part of the cost, not of the output.
  if (!std::freopen("/dev/null", "w", stdout)) return 1;
  const std::time_t wall0 = 1700000000;
  test_clock::set(wall0);
  const Answers answers = answers_for_every_address();
  const bench::DeviceSetup setup = bench::device_setup(2);
  bench::CountingEvents events;
  const size_t lines = (n + kPerLine - 1) / kPerLine;
  Clock::time_point now{};
  klx::PollLoop loop(now);
  for (size_t l = 0; l < lines; ++l) {
    auto link = std::make_unique<klx::Link>(std::make_unique<PacedBus>(answers), bench::kBaud);
    link->set_time(now);
    loop.add_line(std::move(link));
  }
  std::vector<std::unique_ptr<korvantis_419>> devices;
  for (size_t i = 0; i < n; ++i) {
    const size_t line = i % lines;
    devices.push_back(bench::make_device(setup, static_cast<uint32_t>(i + 1),
                                         static_cast<uint8_t>(i / lines + 1), events));
    devices.back()->set_link(&loop.line(line));
    devices.back()->OpenPort();
    loop.add_device(line, devices.back().get());
  }
  const auto end =
      now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  const double cpu0 = cpu_seconds();
  size_t passes = 0;
  while (now < end) {
    loop.pass(now);
    ++passes;
    now = std::max(loop.next_due(), now + std::chrono::microseconds(1));
    test_clock::set(
        wall0 + std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count());
  }
  const double cpu = cpu_seconds() - cpu0;
  uint64_t rounds = 0;
  for (size_t i = 0; i < n; ++i) rounds += loop.rounds(i);
  for (auto& d : devices) d->set_link(nullptr);
  std::fprintf(stderr,
               "devices %zu lines %zu simulated_s %.0f passes %zu device_rounds %llu "
               "rounds_per_device %.1f cpu_ms %.1f cpu_us_per_device_round %.1f\n",
               n, lines, seconds, passes, static_cast<unsigned long long>(rounds),
               static_cast<double>(rounds) / n, cpu * 1e3, rounds ? cpu * 1e6 / rounds : 0.0);
  return rounds ? 0 : 1;
}
