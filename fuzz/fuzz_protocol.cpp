// The protocol layer in front of the device: PMBusProtocol on a line that brings arbitrary bytes
// in arbitrary chunks, good and damaged answers, echoes of the commands, time-outs and a lost
// line, while the device polls. Only a good answer with RTN 0 from the device's address and the
// command's group may reach process_payload, and each one counts as an answer.
#include <algorithm>
#include <cstdlib>
#include <deque>
#include <memory>

#include "fuzz_support.h"
#include "klx/frame.h"
#include "klx/hex.h"
#include "klx/link.h"
#include "klx/transport.h"

namespace {

constexpr int kMaxSteps = 96;

// The line: commands written are kept, input is what the script puts in; a read may report the
// line lost once.
class ScriptedLine : public klx::Transport {
 public:
  bool open(std::string&) override { return open_ = true; }
  void close() override { open_ = false; }
  bool is_open() const override { return open_; }
  bool write(const uint8_t* bytes, size_t n) override {
    last_command_.assign(bytes, bytes + n);
    return true;
  }
  long read(uint8_t* buf, size_t cap) override {
    if (lose_) return lose_ = false, -1;
    size_t n = 0;
    for (; n < cap && !inbox_.empty(); ++n) buf[n] = inbox_.front(), inbox_.pop_front();
    return static_cast<long>(n);
  }
  std::string describe() const override { return "fuzz line"; }

  void put(const std::vector<uint8_t>& b) { inbox_.insert(inbox_.end(), b.begin(), b.end()); }
  void put(const std::string& s) { inbox_.insert(inbox_.end(), s.begin(), s.end()); }
  void lose() { lose_ = true; }
  const std::string& last_command() const { return last_command_; }

 private:
  bool open_ = false;
  bool lose_ = false;
  std::deque<uint8_t> inbox_;
  std::string last_command_;
};

uint8_t group_of(const std::string& frame) {
  // SOI, VER (2), ADR (2), then CID1 as two hex digits.
  std::vector<uint8_t> cid1;
  if (frame.size() < 7 || !klx::from_hex(frame.substr(5, 2), cid1)) return 0;
  return cid1[0];
}

// The device as the host sees it, with a check on every answer handed to it.
struct WatchedDevice : korvantis_419 {
  const ScriptedLine* line = nullptr;
  uint64_t payloads = 0;

  int process_payload() override {
    require(rx_buf_ != nullptr, "an answer in rx_buf_");
    require(rx_buf_[3] == 0, "only RTN 0 reaches the device");
    require(rx_buf_[1] == address_, "only the device's address reaches it");
    require(rx_buf_[2] == group_of(line->last_command()), "only the command's group reaches it");
    ++payloads;
    return korvantis_419::process_payload();
  }
};

// An answer frame built from the input: usually from the device's address and the awaited group.
std::string answer_frame(FuzzInput& in, const WatchedDevice& dev, const ScriptedLine& line) {
  const uint8_t how = in.byte();
  const uint8_t adr = how & 1 ? in.byte() : dev.address_;
  const uint8_t cid1 = how & 2 ? in.byte() : group_of(line.last_command());
  const uint8_t rtn = how & 4 ? in.byte() : 0;
  const std::vector<uint8_t> info = in.take(in.u16() % 512);
  return klx::encode_frame(0x20, adr, cid1, rtn, info.data(), info.size());
}

void step(WatchedDevice& dev, klx::Link& link, ScriptedLine& line, FuzzInput& in) {
  const uint8_t op = in.byte();
  switch (op % 10) {
    case 0:
    case 1:
    case 2:
      line.put(answer_frame(in, dev, line));
      break;
    case 3:
      line.put(in.take(in.byte()));
      break;
    case 4:
      line.put(line.last_command());
      break;
    case 5:
      // The line's time moves with the device's: past any quiet interval and back-off.
      fuzz_clock::advance(2);
      link.set_time(link.now() + std::chrono::seconds(2));
      dev.RefreshStatus();
      break;
    case 6:
      dev.service_timeout();
      break;
    case 7:
      line.lose();
      break;
    case 8:
      if (!link.is_open() && link.reconnect_due() != klx::Link::Clock::time_point::max())
        link.maintain(std::max(link.now(), link.reconnect_due()));
      break;
    default:
      dev.Reset();
  }
  // What arrived is read in pieces of the input's choosing, as the poll loop would.
  if (op & 0x80) dev.service_input();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_clock::reset();
  FuzzInput in(data, size);
  CheckingEvents events;
  WatchedDevice dev;
  prepare_device(dev, events, in);
  auto owned = std::make_unique<ScriptedLine>();
  ScriptedLine& line = *owned;
  klx::Link link(std::move(owned), 115200);
  // An exchange's time has always run out, so a time-out step ends it at once.
  link.set_answer_timeout(std::chrono::milliseconds(-1000));
  link.set_time(klx::Link::Clock::time_point{});
  link.open();
  dev.set_link(&link);
  dev.line = &line;
  for (int i = 0; i < kMaxSteps && !in.empty(); ++i) {
    step(dev, link, line, in);
    require(dev.rules_.empty(), "rule list empty between calls");
  }
  dev.service_input();
  require(dev.payloads == dev.protocol_counters().answers, "every payload is a counted answer");
  dev.set_link(nullptr);
  return 0;
}
