// The host's part of an exchange allocates nothing once the device has run a round: the answer
// is parsed, laid into rx_buf_ and decoded, and the next command is framed and written, all in
// buffers kept from the round before. The round's end is not held to it: the host copies the
// rules' texts, as a host should. Answers of the largest round, from the simulator.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "counting_new.h"
#include "device/korvantis_419.h"
#include "klx/device_setup.h"
#include "klx/events.h"
#include "klx/link.h"
#include "sim/simulator.h"
#include "support/fake_clock.h"
#include "support/rule_catalogue.h"

namespace {

// Keeps the last command written, in a buffer that does not grow after the first round.
struct CommandLine : klx::Transport {
  std::vector<uint8_t>& last;
  explicit CommandLine(std::vector<uint8_t>& l) : last(l) {}
  bool open(std::string&) override { return true; }
  void close() override {}
  bool is_open() const override { return true; }
  bool write(const uint8_t* b, size_t n) override {
    last.assign(b, b + n);
    return true;
  }
  long read(uint8_t*, size_t) override { return 0; }
  std::string describe() const override { return "command line"; }
};

// The largest batch a round hands over.
struct Batches : klx::DeviceEvents {
  size_t largest = 0;
  bool on_batch(KLXVDevice&, const std::vector<rule_value>& rules) override {
    largest = std::max(largest, rules.size());
    return true;
  }
};

TEST(ExchangeHeap, NoAllocationInAnExchangeOnceTheDeviceHasSettled) {
  test_clock::Frozen clock(1700000000);
  std::vector<uint8_t> command;
  command.reserve(64);
  klx::Link link(std::make_unique<CommandLine>(command));
  sim::Simulator simulator(sim::load_model_file(KLX_SOURCE_DIR "/bench/models/largest_round.json"),
                           1, [] { return static_cast<double>(test_clock::now()); });
  korvantis_419 dev;
  Json::Value settings;
  settings["appSetting"]["has_dc"] = "1";
  settings["appSetting"]["ac_line"] = "3";
  settings["appSetting"]["b_mode"] = "2";
  Batches batches;
  klx::set_up_device(dev, &batches, 1, 1, settings, rule_catalogue::tables());
  dev.set_link(&link);
  ASSERT_TRUE(dev.OpenPort());

  for (int round = 1; round <= 3; ++round) {
    test_clock::advance(2);
    ASSERT_TRUE(dev.RefreshStatus());
    int exchanges = 0;
    while (dev.cmd_state_ != PMBUSPOWER_IDLE) {
      std::vector<uint8_t> answer;
      for (auto& chunk : simulator.respond(command))
        answer.insert(answer.end(), chunk.bytes.begin(), chunk.bytes.end());
      ASSERT_FALSE(answer.empty());
      const size_t before = counting_new::allocations();
      dev.process(answer.data(), static_cast<unsigned>(answer.size()));
      const bool round_end = dev.cmd_state_ == PMBUSPOWER_IDLE;
      if (round >= 2 && !round_end) {
        EXPECT_EQ(counting_new::allocations(), before)
            << "round " << round << " exchange " << exchanges;
      }
      ASSERT_LT(++exchanges, 9);
    }
    EXPECT_EQ(exchanges, 8) << "round " << round;
    EXPECT_EQ(dev.rules_.size(), 0u);
  }
  EXPECT_EQ(batches.largest, 164u);
  dev.set_link(nullptr);
}

}  // namespace
