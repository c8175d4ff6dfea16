#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "klx/frame.h"
#include "klx/peer.h"
#include "sim/faults.h"
#include "sim/model.h"
#include "sim/timeline.h"

// The power-system simulator: answers the host's command frames from a model, plays the model's
// scheduled events and applies its line faults.
namespace sim {

// Seconds on any scale. The time line starts at the first command, so a simulator started ahead
// of its host plays its events at the same points of the polling whenever the host comes. The
// default reads time(), so the test binaries' controllable clock and libfaketime move it too.
using Clock = std::function<double()>;
double system_seconds();

class Simulator : public klx::Peer {
 public:
  Simulator(Model model, uint8_t address, Clock clock = system_seconds);

  // Every complete frame in `written` is answered in turn; a frame for another address, or one
  // too damaged to tell whom it is for, gets no answer.
  std::vector<klx::TimedChunk> respond(const std::vector<uint8_t>& written) override;

  // Plays the events due by now without a command.
  void advance();
  // Seconds since the first command, by the simulator's clock (0 before it).
  double elapsed() const;

  const Model& model() const { return model_; }
  uint8_t address() const { return address_; }
  const FaultInjector& faults() const { return faults_; }

 private:
  std::vector<klx::TimedChunk> answer_frame(const klx::Frame& f);
  std::vector<klx::TimedChunk> answer_damaged(const std::vector<uint8_t>& raw, klx::FrameError e);
  // The RTN and info bytes of a command; also marks what the host has now read.
  uint8_t execute(const klx::Frame& f, Bytes& info);
  uint8_t poll_answer(uint8_t cid1, uint8_t cid2, size_t data_len, Bytes& info);
  void raise_change_flags();

  Model model_;
  uint8_t address_;
  Clock clock_;
  double start_ = 0.0;
  bool started_ = false;
  Timeline timeline_;
  Noise noise_;
  FaultInjector faults_;
  klx::FrameParser parser_;
  // What the host last read of each section's alarms and of the switch states: a change since
  // raises the data-flag bits until it is read.
  Bytes read_ac_alarms_, read_switches_, read_rc_alarms_, read_dc_alarms_;
};

// The simulator of a model file, or of the built-in model when the path is empty; a file that
// lists devices gives the line of them (a Bus; `address` then unused). Throws std::runtime_error
// with the file and the key at fault when the model cannot be used.
std::unique_ptr<klx::Peer> make_simulator(const std::string& model_path, uint8_t address);

}  // namespace sim
