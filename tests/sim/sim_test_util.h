#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "klx/frame.h"
#include "sim/model.h"
#include "sim/simulator.h"
#include "support/device_probe.h"

// Helpers for the simulator tests: a clock moved by hand, command frames in, parsed answers out,
// and whole polling rounds of a device against a simulator without any port in between.
namespace simtest {

struct ManualClock {
  double now = 1000.0;
  sim::Clock fn() {
    return [this] { return now; };
  }
};

sim::Model model_from(const std::string& json);

// One command frame as the host writes it.
std::vector<uint8_t> command(uint8_t cid1, uint8_t cid2, const std::vector<uint8_t>& data = {},
                             uint8_t adr = 1, uint8_t ver = 0x20);

// What came back on the line for one command, joined and parsed as the host would.
struct Reply {
  std::vector<klx::TimedChunk> chunks;
  std::string line;  // every chunk's bytes, joined
  std::vector<klx::Frame> frames;
  klx::FrameCounters counters;
};
Reply ask(klx::Peer& s, const std::vector<uint8_t>& frame, int expect_adr = 1);
Reply ask(sim::Simulator& s, uint8_t cid1, uint8_t cid2, const std::vector<uint8_t>& data = {});

// Starts a round on the device and answers every command it sends from the simulator until the
// round ends. Returns the commands sent, as "40 41 01" strings. Fails the test on a bad answer.
std::vector<std::string> run_round(TestDevice& dev, sim::Simulator& s);

}  // namespace simtest
