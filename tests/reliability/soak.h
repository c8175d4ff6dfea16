#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Many rounds in process: the device polling the simulator through the host's protocol layer on
// the controllable clock, with the model's mains and module events and line faults coming round
// again and again. What must not change over the rounds is measured at checkpoints.
namespace soak {

struct Options {
  uint64_t rounds = 2000;
  int mode = 2;  // the device's alarm mode (b_mode)
  // Rounds after which the heap is measured (at the first round of the schedule's quiet phase
  // from there on); the run also ends in that phase, with a last measurement.
  std::vector<uint64_t> checkpoints = {1000};
};

struct Checkpoint {
  uint64_t round = 0;
  size_t heap_bytes = 0;  // live heap of the whole program (counting operator new)
  size_t heap_blocks = 0;
  size_t report_table = 0;  // entries of the device's analog-report table
  size_t level_table = 0;   // entries of its alarm-level table
};

struct Result {
  uint64_t rounds = 0;
  uint64_t ticks = 0;
  uint64_t events_started = 0;
  uint64_t faults_fired = 0;
  uint64_t commands = 0, answers = 0, timeouts = 0, rtn_errors = 0, bad_frames = 0;
  uint64_t alarm_transitions = 0;
  uint64_t analog_reports = 0;
  uint64_t ticks_with_rules_left = 0;  // ticks after which the rule list was not empty
  size_t report_bound = 0;             // configured settings + report identifiers of the rules
  std::vector<Checkpoint> checkpoints;
  double seconds = 0.0;  // real time the run took
};

// The model: the built-in power system, a schedule of mains failures, module failures, stops,
// shelf changes, DC ramps, DC alarms and switch changes repeating every 400 s for the whole run,
// and occasional damaged, refused, split and missing answers.
std::string describe_model();

Result run(const Options& options);

}  // namespace soak
