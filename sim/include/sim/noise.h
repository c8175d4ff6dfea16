#pragma once

#include <cstdint>
#include <random>
#include <vector>

// A plant that is never quite still: every value the simulator answers wanders around the
// model's value (white noise, seeded, so a run is repeatable), and the load steps up and back
// down at a fixed interval. Off unless the model file's "noise" or klx-sim's --noise turns it on.
namespace sim {

struct Model;

struct NoiseSettings {
  bool on = false;
  uint32_t seed = 1;
  double current_pct = 1.0;    // currents: ± this % of the value
  double voltage = 0.05;       // voltages: ± V
  double frequency = 0.02;     // ± Hz
  double step_pct = 15.0;      // the load step: currents this % higher every other interval
  double step_every_s = 3600;  // 0: no steps
};

// klx-sim --noise SEED: noise on for every model it serves, whatever the files say.
void force_noise(uint32_t seed);

class Noise {
 public:
  explicit Noise(const NoiseSettings& s);

  // Sets the model's values for time `t` (seconds from the start). A value that something else
  // changed since the last call (an event, a ramp, a control command) becomes its new nominal.
  void apply(Model& m, double t);

 private:
  struct Slot {
    float nominal = 0;
    float written = 0;
    bool known = false;
  };
  NoiseSettings s_;
  std::mt19937 rng_;
  std::vector<Slot> slots_;
  size_t next_ = 0;
};

}  // namespace sim
