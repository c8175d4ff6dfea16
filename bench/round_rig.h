#pragma once

// The largest polling round, ready to be driven in a loop: its answer frames (built once from the
// simulator's encoders and the frame codec), a device configured for it, and an in-memory line
// that answers each command with its frame at once, driven by the host's poll loop
// (klx::PollLoop, as klx-host drives it) on the test clock, so that no system call is made.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/korvantis_419.h"
#include "klx/device_setup.h"
#include "klx/events.h"
#include "klx/link.h"
#include "klx/poll_loop.h"
#include "sim/model.h"

namespace bench {

constexpr int kBaud = 9600;
constexpr int kBitsPerChar = 10;  // 8N1: start bit, 8 data bits, stop bit

// Seconds that `chars` characters take on the line at kBaud, 8N1.
inline double wire_seconds(size_t chars) {
  return static_cast<double>(chars) * kBitsPerChar / kBaud;
}

// One exchange of the round: the command the device sends and the power system's answer.
struct Exchange {
  uint8_t cid1 = 0;
  uint8_t cid2 = 0;
  std::vector<uint8_t> info;    // the answer's info bytes
  std::vector<uint8_t> answer;  // the answer frame, SOI to EOI
};

// The simulator model of the largest round (bench/models/largest_round.json).
sim::Model largest_round_model();
// Its eight exchanges in round order: 40/41, 40/43, 40/44, 41/41, 41/43, 41/44, 42/41, 42/44.
std::vector<Exchange> largest_round_exchanges(const sim::Model& model);

// What the host holds for the device: the settings object and the tables it fills before
// InitSetting. Mode 2 has a level for every alarm code of the round (the largest rule batch);
// mode 1 reports every analog value in every round.
struct DeviceSetup {
  std::string settings_json;
  klx::DeviceTables tables;
};
DeviceSetup device_setup(int mode);
// A device set up as the host does it (klx::set_up_device), its calls going to `events`; the
// caller gives it a line.
std::unique_ptr<korvantis_419> make_device(const DeviceSetup& s, uint32_t data_id, uint8_t address,
                                           klx::DeviceEvents& events);
// The same as a klx-host configuration file (one device, data identifier 1, address 1).
std::string host_config_json(int mode, const std::string& port);

// Counts the host calls of the device's rounds.
struct CountingEvents : klx::DeviceEvents {
  uint64_t commands = 0;
  uint64_t publishes = 0;
  uint64_t histories = 0;
  uint64_t checks = 0;
  uint64_t reports = 0;
  uint64_t batches = 0;
  size_t largest_batch = 0;

  void on_command(KLXVDevice&, uint8_t, uint8_t, const uint8_t*, size_t) override;
  void on_publish(KLXVDevice&, int, const uint8_t*, size_t) override;
  void on_history(KLXVDevice&, const uint8_t*, size_t) override;
  void on_check(KLXVDevice&, const std::string&, const std::string&, float, int) override;
  bool on_batch(KLXVDevice&, const std::vector<rule_value>& rules) override;
  void on_report(KLXVDevice&, const std::string&, float) override;
};

// What the rig's line carried.
struct LineTally {
  uint64_t commands = 0;
  uint64_t chars = 0;
  uint64_t answers = 0;
};

// One device on the in-memory line, driven round after round with the answers of the largest
// round. The rig moves the test clock and the loop's time by 2 s before each round, the device's
// round spacing.
class RoundRig {
 public:
  // `events` receives the device's host calls; null: a CountingEvents of the rig's own.
  explicit RoundRig(int mode, klx::DeviceEvents* events = nullptr);
  // Only the answers and the line; the device comes with create_device() (heap accounting
  // measures the device alone this way).
  struct Deferred {};
  RoundRig(Deferred, int mode, klx::DeviceEvents* events = nullptr);
  void create_device();
  ~RoundRig();
  RoundRig(const RoundRig&) = delete;
  RoundRig& operator=(const RoundRig&) = delete;

  // One pass of the poll loop: the tick starts the round and the line answers each command.
  // Returns the number of answers the round took (8 when it ran as planned).
  int run_round();

  korvantis_419& device() { return *dev_; }
  const std::vector<Exchange>& exchanges() const { return exchanges_; }
  const LineTally& line() const { return *tally_; }
  CountingEvents* counting() { return own_events_.get(); }

  // The round's wire characters (commands and answers) as the last round sent and received them.
  size_t command_chars() const { return last_command_chars_; }
  size_t answer_chars() const;

  // Checks that a round sends all eight commands and ends in RoundDone; empty when it does,
  // otherwise what went wrong.
  std::string verify();

 private:
  int mode_;
  klx::DeviceEvents* events_;
  std::vector<Exchange> exchanges_;
  std::unique_ptr<CountingEvents> own_events_;
  std::unique_ptr<LineTally> tally_;
  klx::Link::Clock::time_point now_{};
  std::unique_ptr<klx::PollLoop> loop_;
  std::unique_ptr<korvantis_419> dev_;
  size_t last_command_chars_ = 0;
};

}  // namespace bench
